#include "cli/SummaryFile.h"

#include "cli/CommandLineBooks.h"
#include "fs/FileTests.h"
#include "fs/OutputTemporary.h"
#include "platform/RunTimeError.h"
#include "platform/TerminalText.h"
#include "platform/WriteAll.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace bq {

QString WriteSummaryFile(const QByteArray& place, QJsonArray entries,
                         const QList<QByteArray>& refused) {
    for (const QByteArray& path : refused) {
        entries.append(QJsonObject{{QStringLiteral("source"), TerminalSafeBytes(path)},
                                   {QStringLiteral("output"), QString()},
                                   {QStringLiteral("result"), QStringLiteral("failed")},
                                   {QStringLiteral("reason"), RefusedNameReason()},
                                   {QStringLiteral("seconds"), 0}});
    }
    const QByteArray json =
        QJsonDocument(QJsonObject{{QStringLiteral("entries"), entries}}).toJson();
    const QString shown = TerminalSafeBytes(place);
    // Written beside it under a temporary name of the program's own (as a book is, see
    // OutputTemporary), locked while this program lives: one that a killed program left is
    // removed by the next summary written there, or by a run writing books there.
    const qsizetype slash = place.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : place.left(slash + 1);
    OutputTemporary::RemoveAbandoned(
        QFile::decodeName(folder.isEmpty() ? QByteArray(".") : folder));
    QByteArray partial;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        partial = folder + ".brindlequill-XXXXXX.mobi";
        fd = ::mkostemps(partial.data(), 5, O_CLOEXEC);
        if (fd < 0) {
            break;
        }
        // Another program's sweep may take the new file before it is locked: then again. (Where
        // the file system has no locks at all, no sweep can take it either.)
        struct stat opened {};
        struct stat named {};
        const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (taken || ::fstat(fd, &opened) != 0 || ::stat(partial.constData(), &named) != 0 ||
            opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
            ::close(fd);
            fd = -1;
            errno = EEXIST;
        }
    }
    if (fd < 0) {
        return QStringLiteral("the summary could not be written to %1 (%2)")
            .arg(shown, SystemErrorText(errno));
    }
    ::fchmod(fd, 0666 & ~CurrentUmask());
    // Renamed while still locked, so that no sweep takes it on its way.
    int error = WriteAll(fd, json);
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (error == 0 && ::rename(partial.constData(), place.constData()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(partial.constData());
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        return QStringLiteral("the summary could not be written to %1 (%2)")
            .arg(shown, SystemErrorText(error));
    }
    return {};
}

}  // namespace bq
