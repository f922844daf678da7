#include "convert/KeptLogs.h"

#include "fs/PathText.h"
#include "platform/Descriptor.h"
#include "platform/RunTimeError.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

Q_LOGGING_CATEGORY(lcLogs, "brindlequill.logs")

namespace bq {

namespace {

constexpr qsizetype kMostNameBytes = 255;
constexpr qint64 kCopyChunk = 1 << 16;

const QRegularExpression& RunFolderName() {
    static const QRegularExpression name(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2}(_\\d{1,4})?$"));
    return name;
}

// Makes each missing folder of path, private to this user as the XDG base folders are made;
// errno is kept from the first that could not be made.
bool MakePrivatePath(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString at;
    for (const QString& part : parts) {
        at += QLatin1Char('/') + part;
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// "<entry number> <book's file name>.log", within the bytes a name may take and without the
// line breaks and other control characters a book's name may hold.
QString KeptLogName(const FailedLog& failed) {
    QString book = FileNamePart(failed.source);
    for (QChar& c : book) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = QLatin1Char('_');
        }
    }
    const QString number = QStringLiteral("%1 ").arg(failed.index, 4, 10, QLatin1Char('0'));
    const QString end = QStringLiteral(".log");
    while (!book.isEmpty() && QFile::encodeName(number + book + end).size() > kMostNameBytes) {
        book.chop(book.size() >= 2 && book.back().isLowSurrogate() ? 2 : 1);
    }
    return number + book + end;
}

// Writes the book's path and reason, then the converter's log, to name in the folder fd.
bool CopyLog(int folder, const FailedLog& failed, const QString& name) {
    QFile from(failed.log);
    if (!from.open(QIODevice::ReadOnly)) {
        return false;  // the converter never started: nothing of its own to keep
    }
    const int fd = ::openat(folder, QFile::encodeName(name).constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    QFile to;
    if (!to.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const QByteArray head =
        (QStringLiteral("Book: ") + failed.source + QStringLiteral("\nNot converted: ") +
         failed.reason + QStringLiteral("\n\nThe converter's messages:\n\n"))
            .toUtf8();
    bool ok = to.write(head) == head.size();
    while (ok && !from.atEnd()) {
        const QByteArray chunk = from.read(kCopyChunk);
        ok = !chunk.isEmpty() && to.write(chunk) == chunk.size();
    }
    return ok;
}

// Empties and removes the run folder name of the folder parent, when it is one of the
// program's: a folder, no link, of this user. A folder inside it keeps it.
bool RemoveLogRun(int parent, const QByteArray& name) {
    struct stat named {};
    if (::fstatat(parent, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(named.st_mode) || named.st_uid != ::geteuid()) {
        return false;
    }
    const Descriptor run(
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (run.get() < 0 || ::fstat(run.get(), &opened) != 0 || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino) {
        return false;
    }
    const int listed = ::dup(run.get());
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return false;
    }
    std::vector<QByteArray> files;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray file(entry->d_name);
        if (file != "." && file != "..") {
            files.push_back(file);
        }
    }
    ::closedir(dir);
    for (const QByteArray& file : files) {
        ::unlinkat(run.get(), file.constData(), 0);  // a folder stays, and keeps the run's
    }
    return ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0;
}

}  // namespace

QString LogsFolder() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.startsWith(QLatin1Char('/'))) {
        state = qEnvironmentVariable("HOME") + QStringLiteral("/.local/state");
    }
    return CollapseSeparators(state + QStringLiteral("/brindlequill/logs"));
}

QString KeepFailedLogs(const std::vector<FailedLog>& logs, const QDateTime& ended) {
    std::vector<const FailedLog*> kept;
    for (const FailedLog& failed : logs) {
        if (!failed.log.isEmpty() && QFile::exists(failed.log)) {
            kept.push_back(&failed);
        }
    }
    if (kept.empty()) {
        return {};
    }
    const QString folder = LogsFolder();
    const auto fail = [&folder](const QString& why) {
        qCWarning(lcLogs).noquote() << "The converter's logs of the books not converted could not"
                                    << "be kept in" << folder << "-" << why;
        return QString();
    };
    if (!MakePrivatePath(folder)) {
        return fail(SystemErrorText(errno));
    }
    const Descriptor logsFd(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (logsFd.get() < 0) {
        return fail(SystemErrorText(errno));
    }
    const QString stamp = ended.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString name;
    for (int attempt = 1; attempt <= 100 && name.isEmpty(); ++attempt) {
        const QString candidate = attempt == 1 ? stamp : stamp + QStringLiteral("_%1").arg(attempt);
        if (::mkdirat(logsFd.get(), QFile::encodeName(candidate).constData(), 0700) == 0) {
            name = candidate;
        } else if (errno != EEXIST) {
            return fail(SystemErrorText(errno));
        }
    }
    if (name.isEmpty()) {
        return fail(SystemErrorText(EEXIST));
    }
    const Descriptor run(::openat(logsFd.get(), QFile::encodeName(name).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int copied = 0;
    for (const FailedLog* failed : kept) {
        copied += run.get() >= 0 && CopyLog(run.get(), *failed, KeptLogName(*failed)) ? 1 : 0;
    }
    const QString runFolder = folder + QLatin1Char('/') + name;
    if (copied < static_cast<int>(kept.size())) {
        fail(QStringLiteral("%1 of %2 logs could not be copied into %3")
                 .arg(static_cast<int>(kept.size()) - copied)
                 .arg(kept.size())
                 .arg(runFolder));
    }
    RemoveOldLogRuns(folder, kKeptLogRuns, name);
    return copied > 0 ? runFolder : QString();
}

int RemoveOldLogRuns(const QString& folder, int keep, const QString& except) {
    const Descriptor parent(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) {
        return 0;
    }
    const int listed = ::dup(parent.get());
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return 0;
    }
    QStringList runs;
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        struct stat st {};
        if (RunFolderName().match(name).hasMatch() &&
            ::fstatat(parent.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
            runs << name;
        }
    }
    ::closedir(dir);
    std::sort(runs.begin(), runs.end());
    int removed = 0;
    for (qsizetype i = 0; i + keep < runs.size(); ++i) {
        if (runs[i] != except && RemoveLogRun(parent.get(), QFile::encodeName(runs[i]))) {
            ++removed;
        }
    }
    return removed;
}

}  // namespace bq
