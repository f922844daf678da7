#include "cli/SummaryFile.h"

#include "cli/CommandLineBooks.h"
#include "platform/RunTimeError.h"
#include "platform/TerminalText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace bq {

namespace {

// Writes all of `bytes` to `fd`; the errno of the failure, or 0.
int WriteAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        data += written;
        left -= written;
    }
    return 0;
}

}  // namespace

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
    // A short name of its own beside it: the summary's own name may be as long as names go. The
    // pid alone is not enough: a program killed while it wrote its summary leaves its partial
    // file, and in a container the next program often has the same pid.
    QByteArray partial;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        partial = place.left(place.lastIndexOf('/') + 1) + ".brindlequill-summary-" +
                  QByteArray::number(::getpid()) + '-' +
                  QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
        fd = ::open(partial.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return QStringLiteral("the summary could not be written to %1 (%2)")
            .arg(shown, SystemErrorText(errno));
    }
    int error = WriteAll(fd, json);
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(partial.constData(), place.constData()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(partial.constData());
        return QStringLiteral("the summary could not be written to %1 (%2)")
            .arg(shown, SystemErrorText(error));
    }
    return {};
}

}  // namespace bq
