// The run folder of one conversion run: made, locked and marked under TEMP, swept of the ended
// runs' folders, removed at the end.
#include "convert/RunFolder.h"

#include "fs/FileDeletion.h"
#include "platform/ProgramFolder.h"
#include "platform/RunTimeError.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <vector>

Q_LOGGING_CATEGORY(lcRunFolder, "brindlequill.runtime")

namespace bq {

namespace {

const QString kSource = QStringLiteral("RunFolder");

[[noreturn]] void Fail(int number, const QString& text) {
    RaiseError(number, kSource, text);
}

QString WithoutTrailingSlashes(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    return path;
}

// Why the converter cannot run from a run folder made in folder; "" when it can: folder is a
// folder this user may write, on a file system that allows running programs (not mounted
// noexec).
QString CannotRunFrom(const QString& folder) {
    const QByteArray name = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0) {
        return SystemErrorText(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return QStringLiteral("not a folder");
    }
    if (::access(name.constData(), W_OK | X_OK) != 0) {
        return QStringLiteral("cannot be written: ") + SystemErrorText(errno);
    }
    struct statvfs fs {};
    if (::statvfs(name.constData(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
        return QStringLiteral("does not allow running programs");
    }
    return {};
}

// An XDG base folder: the variable's value when it is an absolute path, else the default below
// HOME.
QString XdgFolder(const char* variable, const QString& underHome) {
    const QString value = qEnvironmentVariable(variable);
    if (value.startsWith(QLatin1Char('/'))) {
        return WithoutTrailingSlashes(value);
    }
    return WithoutTrailingSlashes(qEnvironmentVariable("HOME")) + QLatin1Char('/') + underHome;
}

// The program's own folder in the user's cache, made (private) when missing.
QString CacheFolder() {
    const QString base = XdgFolder("XDG_CACHE_HOME", QStringLiteral(".cache"));
    const QString folder = base + QStringLiteral("/brindlequill");
    ::mkdir(QFile::encodeName(base).constData(), 0700);
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return folder;
}

bool LstatPath(const QString& path, struct stat& st) {
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// True when what the open folder fd holds is a run folder of this program, of this user, which
// is still the entry named path: the folder and its marker are looked at through fd, never
// through a link.
bool IsMarkedRunFolder(int fd, const QByteArray& path) {
    struct stat folder {};
    struct stat named {};
    struct stat marker {};
    const QByteArray markerName = QFile::encodeName(RunFolder::RunMarkerName());
    return ::fstat(fd, &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == ::geteuid() &&
           (folder.st_mode & 07777) == 0700 && ::lstat(path.constData(), &named) == 0 &&
           named.st_dev == folder.st_dev && named.st_ino == folder.st_ino &&
           ::fstatat(fd, markerName.constData(), &marker, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(marker.st_mode) && marker.st_uid == ::geteuid();
}

// Deletes a run folder with its marker last: a program killed while it deletes one leaves a
// folder that is still marked, which the next run removes as an ended run's (deleted in
// directory order, the marker could go first and the rest stay for good, unmarked).
void DeleteRunFolder(const QString& path) {
    const QByteArray marker = QFile::encodeName(RunFolder::RunMarkerName());
    std::vector<QByteArray> names;
    if (DIR* dir = ::opendir(QFile::encodeName(path).constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != ".." && name != marker) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    for (const QByteArray& name : names) {
        const QString entry = path + QLatin1Char('/') + QFile::decodeName(name);
        struct stat st {};
        if (LstatPath(entry, st) && S_ISDIR(st.st_mode)) {
            DeleteFolderTree(entry);
        } else {
            DeleteFileForced(entry);
        }
    }
    DeleteFolderTree(path);
}

}  // namespace

QString TryAnotherTemp(const QString& temp) {
    return QStringLiteral(
               "Free some space in %1, or set TEMP to another folder, then start "
               "again.")
        .arg(temp);
}

RunFolder::~RunFolder() {
    try {
        Remove();
    } catch (...) {
        qCWarning(lcRunFolder) << "The run folder" << m_path << "could not be removed";
    }
}

QString RunFolder::LogFolder() const {
    return m_path + QStringLiteral("/logs");
}

QString RunFolder::ScratchFolder() const {
    return m_path + QStringLiteral("/tmp");
}

QStringList RunFolder::OtherBaseFolders() {
    QStringList folders;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/'))) {
        folders << WithoutTrailingSlashes(runtime);
    }
    folders << XdgFolder("XDG_CACHE_HOME", QStringLiteral(".cache")) +
                   QStringLiteral("/brindlequill");
    return folders;
}

QString RunFolder::BaseFolderInsteadOf(const QString& temp) {
    QStringList tried{QStringLiteral("%1 (TEMP): does not allow running programs").arg(temp)};
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/'))) {
        const QString folder = WithoutTrailingSlashes(runtime);
        const QString why = CannotRunFrom(folder);
        if (why.isEmpty()) {
            return folder;
        }
        tried << QStringLiteral("%1 (XDG_RUNTIME_DIR): %2").arg(folder, why);
    } else {
        tried << QStringLiteral("XDG_RUNTIME_DIR: not set");
    }
    const QString cache = CacheFolder();
    const QString why = CannotRunFrom(cache);
    if (why.isEmpty()) {
        return cache;
    }
    tried << QStringLiteral("%1: %2").arg(cache, why);
    Fail(ErrPermissionDenied,
         QStringLiteral("The converter needs a folder that allows running programs, and none of "
                        "these can take it:\r\n") +
             tried.join(QStringLiteral("\r\n")) +
             QStringLiteral("\r\nSet TEMP to a folder on a file system that is not mounted "
                            "noexec, then start again."));
}

void RunFolder::Make() {
    m_temp = WithoutTrailingSlashes(TempFolder());
    const QByteArray temp = QFile::encodeName(m_temp);
    struct stat st {};
    if (::stat(temp.constData(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        Fail(ErrPathNotFound,
             QStringLiteral("The temporary folder %1 (TEMP) is not a folder. Set TEMP to a folder "
                            "you can write to, then start again.")
                 .arg(m_temp));
    }
    if (::stat(temp.constData(), &st) != 0) {
        Fail(ErrPathNotFound,
             QStringLiteral("The temporary folder %1 (TEMP) does not exist. Create it, or set "
                            "TEMP to a folder you can write to, then start again.")
                 .arg(m_temp));
    }
    if (::access(temp.constData(), W_OK | X_OK) != 0) {
        Fail(ErrPermissionDenied,
             QStringLiteral("The temporary folder %1 (TEMP) cannot be written (%2). Set TEMP to "
                            "a folder you can write to, then start again.")
                 .arg(m_temp, SystemErrorText(errno)));
    }

    // A TEMP mounted noexec cannot hold the converter: the run folder goes where it can run.
    struct statvfs fs {};
    if (::statvfs(temp.constData(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
        const QString instead = BaseFolderInsteadOf(m_temp);
        qCInfo(lcRunFolder).noquote() << m_temp << "(TEMP) does not allow running programs; the run"
                                      << "folder goes to" << instead;
        m_temp = instead;
    }

    RemoveEndedRunFolders(m_temp);
    for (const QString& other : OtherBaseFolders()) {
        if (other != m_temp) {
            RemoveEndedRunFolders(other);
        }
    }

    QByteArray folder =
        QFile::encodeName(m_temp) + '/' + QFile::encodeName(RunFolderPrefix()) + "XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        const int error = errno;
        Fail(ErrorNumberFromErrno(error),
             QStringLiteral("A folder for the converter could not be made in %1 (%2). ")
                     .arg(m_temp, SystemErrorText(error)) +
                 TryAnotherTemp(m_temp));
    }
    m_path = QFile::decodeName(folder);
    LockAndMark();
    for (const QString& sub : {LogFolder(), ScratchFolder()}) {
        if (::mkdir(QFile::encodeName(sub).constData(), 0700) != 0) {
            const int error = errno;
            Fail(ErrorNumberFromErrno(error),
                 QStringLiteral("The folder %1 could not be made (%2). ")
                         .arg(sub, SystemErrorText(error)) +
                     TryAnotherTemp(m_temp));
        }
    }
}

void RunFolder::LockAndMark() {
    // The lock is held until the folder is removed: it tells other runs that this folder is in
    // use. It is taken before the marker is written, so that a marked folder whose lock is free
    // is always one whose run has ended. A folder that cannot be locked gets no marker: it is
    // never taken for an ended run's, and only this run removes it.
    m_lockFd = ::open(QFile::encodeName(m_path).constData(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX) != 0) {
        const QString why = SystemErrorText(errno);
        qCWarning(lcRunFolder).noquote()
            << "The run folder" << m_path << "could not be locked:" << why;
        return;
    }
    ::fchmod(m_lockFd, 0700);  // mkdtemp's mode, whatever the umask took from it
    const QByteArray text = QStringLiteral("Brindlequill run folder\npid %1\nstarted %2\n")
                                .arg(::getpid())
                                .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                                .toUtf8();
    const int fd = ::openat(m_lockFd, QFile::encodeName(RunMarkerName()).constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // A marker that could not be written whole still marks the folder; a full disk is told
    // when the archive is written.
    if (fd < 0 || ::write(fd, text.constData(), static_cast<size_t>(text.size())) != text.size()) {
        const QString why = SystemErrorText(errno);
        qCWarning(lcRunFolder).noquote()
            << "The run folder" << m_path << "could not be marked:" << why;
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void RunFolder::Remove() {
    if (m_path.isEmpty()) {
        return;
    }
    const QString folder = m_path;
    DeleteRunFolder(folder);
    struct stat st {};
    if (LstatPath(folder, st)) {
        qCWarning(lcRunFolder) << "Some of" << folder << "could not be removed";
    }
    m_path.clear();
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

int RunFolder::RemoveEndedRunFolders(const QString& temp) {
    const QByteArray tempName = QFile::encodeName(temp);
    const QByteArray prefix = QFile::encodeName(RunFolderPrefix());
    DIR* dir = ::opendir(tempName.constData());
    if (dir == nullptr) {
        return 0;
    }
    std::vector<QByteArray> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.size() == prefix.size() + 6 && name.startsWith(prefix)) {
            candidates.push_back(name);
        }
    }
    ::closedir(dir);

    int removed = 0;
    for (const QByteArray& name : candidates) {
        const QByteArray path = tempName + '/' + name;
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid()) {
            continue;
        }
        const int fd =
            ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        // Looked at again once locked: the name must still be this very folder.
        if (IsMarkedRunFolder(fd, path) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            IsMarkedRunFolder(fd, path)) {
            try {
                DeleteRunFolder(QFile::decodeName(path));
                ++removed;
            } catch (const RunTimeError&) {
                // What cannot be removed stays; it is no danger to this run.
            }
        }
        ::close(fd);
    }
    return removed;
}

}  // namespace bq
