#include "fs/OutputTemporary.h"

#include "fs/PathText.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace bq {

namespace {

const QByteArray kHead = QByteArrayLiteral(".brindlequill-");
const QByteArray kTail = QByteArrayLiteral(".mobi");
constexpr qsizetype kRandomLength = 6;  // what mkostemps puts in place of "XXXXXX"
constexpr int kCreateAttempts = 8;

QByteArray EncodedFolder(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    return path.isEmpty() || path.endsWith('/') ? path : path + '/';
}

// A name that Create makes: the head, six ASCII letters or digits, the tail.
bool IsTemporaryName(const QByteArray& name) {
    if (name.size() != kHead.size() + kRandomLength + kTail.size() || !name.startsWith(kHead) ||
        !name.endsWith(kTail)) {
        return false;
    }
    for (const char c : name.mid(kHead.size(), kRandomLength)) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Flushes the folder's entries to its device; file systems that cannot flush a folder count as
// done. Answers errno, or 0.
int SyncFolder(const QString& folder) {
    const int fd = ::open(folder.isEmpty() ? "." : QFile::encodeName(folder).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (error == EINVAL || error == EROFS || error == ENOSYS || error == EOPNOTSUPP) {
        error = 0;
    }
    return error;
}

// Removes one entry of the folder when it is an abandoned temporary of this user: a regular
// file that nobody holds locked, still the same file when it is unlinked.
bool RemoveIfAbandoned(int folderFd, const QByteArray& name) {
    struct stat before {};
    if (::fstatat(folderFd, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(before.st_mode) || before.st_uid != ::geteuid()) {
        return false;
    }
    const int fd = ::openat(folderFd, name.constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool removed = false;
    struct stat opened {};
    struct stat now {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
        ::fstatat(folderFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(opened, now) && SameFile(opened, before)) {
        removed = ::unlinkat(folderFd, name.constData(), 0) == 0;
    }
    ::close(fd);
    return removed;
}

}  // namespace

std::optional<OutputTemporary> OutputTemporary::Create(const QString& folder, int& errnoValue) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        QByteArray name = EncodedFolder(folder) + kHead + "XXXXXX" + kTail;
        const int fd = ::mkostemps(name.data(), static_cast<int>(kTail.size()), O_CLOEXEC);
        if (fd < 0) {
            errnoValue = errno;
            return std::nullopt;
        }
        // Another program's sweep may take the new file between its making and its locking (it
        // removes it then): the lock must be free and the name still the file's. Where the file
        // system has no locks at all, no sweep can take the file either.
        const QByteArray folderPath = EncodedFolder(folder);
        OutputTemporary temporary(QFile::decodeName(name), fd,
                                  ::open(folderPath.isEmpty() ? "." : folderPath.constData(),
                                         O_PATH | O_DIRECTORY | O_CLOEXEC));
        const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (!taken && temporary.NameIsOurs(AT_FDCWD, name)) {
            return temporary;
        }
        temporary.Release();
    }
    errnoValue = EEXIST;
    return std::nullopt;
}

int OutputTemporary::RemoveAbandoned(const QString& folder) {
    const QByteArray path = EncodedFolder(folder);
    DIR* dir = ::opendir(path.isEmpty() ? "." : path.constData());
    if (dir == nullptr) {
        return 0;
    }
    // The names are gathered first: the folder is not changed while it is read.
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (IsTemporaryName(name)) {
            names.append(name);
        }
    }
    int removed = 0;
    for (const QByteArray& name : names) {
        removed += RemoveIfAbandoned(::dirfd(dir), name) ? 1 : 0;
    }
    ::closedir(dir);
    return removed;
}

OutputTemporary::OutputTemporary(OutputTemporary&& other) noexcept
    : m_path(std::exchange(other.m_path, QString())),
      m_fd(std::exchange(other.m_fd, -1)),
      m_folderFd(std::exchange(other.m_folderFd, -1)) {}

OutputTemporary& OutputTemporary::operator=(OutputTemporary&& other) noexcept {
    if (this != &other) {
        Remove();
        m_path = std::exchange(other.m_path, QString());
        m_fd = std::exchange(other.m_fd, -1);
        m_folderFd = std::exchange(other.m_folderFd, -1);
    }
    return *this;
}

OutputTemporary::~OutputTemporary() {
    Remove();
}

void OutputTemporary::Remove() {
    // Unlinked while still locked, so that no sweep and no new temporary meets it half gone;
    // through the folder it was made in, so that a folder renamed or moved away while the
    // converter wrote is not left holding it.
    // (By its path when the folder could not be held.)
    const int folder = m_folderFd >= 0 ? m_folderFd : AT_FDCWD;
    const QByteArray name = QFile::encodeName(m_folderFd >= 0 ? FileNamePart(m_path) : m_path);
    if (m_fd >= 0 && NameIsOurs(folder, name)) {
        ::unlinkat(folder, name.constData(), 0);
    }
    Release();
}

bool OutputTemporary::ReplaceDurably(const QString& output, int mode, int& errnoValue) {
    if (m_fd < 0) {
        errnoValue = EBADF;
        return false;
    }
    const QByteArray name = QFile::encodeName(m_path);
    // The converter may have put a new file under the name instead of writing into this one:
    // then that file, if it is a regular file, is what gets flushed and put in place.
    int fd = m_fd;
    if (!NameIsOurs(AT_FDCWD, name)) {
        fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            errnoValue = fd < 0 ? errno : EINVAL;
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
    }
    // Where the file system keeps no modes (fusefat) the file keeps what it has.
    ::fchmod(fd, static_cast<mode_t>(mode) & 07777);
    const int syncError = ::fsync(fd) == 0 ? 0 : errno;
    if (fd != m_fd) {
        ::close(fd);
    }
    if (syncError != 0) {
        errnoValue = syncError;
        return false;
    }
    if (::rename(name.constData(), QFile::encodeName(output).constData()) != 0) {
        errnoValue = errno;
        return false;
    }
    Release();
    errnoValue = SyncFolder(FolderPart(output));
    return errnoValue == 0;
}

bool OutputTemporary::NameIsOurs(int folder, const QByteArray& name) const {
    struct stat opened {};
    struct stat named {};
    return ::fstat(m_fd, &opened) == 0 &&
           ::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(named.st_mode) && SameFile(opened, named);
}

void OutputTemporary::Release() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (m_folderFd >= 0) {
        ::close(m_folderFd);
    }
    m_fd = -1;
    m_folderFd = -1;
    m_path.clear();
}

}  // namespace bq
