#include "fs/FileDeletion.h"

#include "fs/FileTests.h"
#include "platform/MessageLoop.h"
#include "platform/RunTimeError.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <vector>

namespace bq {

namespace {

const QString kTreeSource = QStringLiteral("DeleteFolderTree");

// Closes a descriptor when the scope ends.
class FdCloser {
  public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

  private:
    int m_fd;
};

// The owner needs read, write and search permission on a folder to empty it; a folder that
// lacks them gets them added (the folder is about to go anyway).
void OpenUpFolder(int parentFd, const char* name, const struct stat& st, const QString& path) {
    constexpr mode_t kOwnerAll = S_IRWXU;
    if ((st.st_mode & kOwnerAll) == kOwnerAll) {
        return;
    }
    if (::fchmodat(parentFd, name, (st.st_mode & 07777) | kOwnerAll, 0) != 0) {
        RaiseErrno(errno, kTreeSource + QLatin1Char(' ') + path);
    }
}

std::vector<std::string> ListNames(int dirFd) {
    std::vector<std::string> names;
    const int listFd = ::dup(dirFd);
    if (listFd < 0) {
        return names;
    }
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

void DeleteContents(int dirFd, const QString& dirPath) {
    // The listing is finished before anything is deleted.
    for (const std::string& name : ListNames(dirFd)) {
        const QString path = dirPath + QLatin1Char('/') + QFile::decodeName(name.c_str());
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;  // gone already
            }
            RaiseErrno(errno, kTreeSource + QLatin1Char(' ') + path);
        }
        if (S_ISDIR(st.st_mode)) {
            OpenUpFolder(dirFd, name.c_str(), st, path);
            const int subFd =
                ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (subFd < 0) {
                if (errno == ENOENT) {
                    continue;
                }
                RaiseErrno(errno, kTreeSource + QLatin1Char(' ') + path);
            }
            {
                FdCloser closer(subFd);
                DeleteContents(subFd, path);
            }
            ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
        } else {
            // Files, links (the link itself), pipes and sockets.
            YieldToMessageLoop();
            ::unlinkat(dirFd, name.c_str(), 0);
        }
    }
}

// The path without trailing separators and "/." steps: "dir/link/" and "dir/link/." name the
// link itself, which must be removed as a link and never resolved to the folder it points to.
QString WithoutTrailingSteps(QString path) {
    for (;;) {
        if (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
            path.chop(1);
        } else if (path.size() > 2 && path.endsWith(QLatin1String("/."))) {
            path.chop(2);
        } else {
            return path;
        }
    }
}

}  // namespace

void FsoDeleteFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        RaiseError(ErrPermissionDenied, QStringLiteral("FsoDeleteFile"));
    }
    if (::unlink(name.constData()) != 0) {
        RaiseErrno(errno, QStringLiteral("FsoDeleteFile"));
    }
}

void DeleteFileForced(const QString& path) {
    YieldToMessageLoop();
    if (path.isEmpty()) {
        return;
    }
    if (::unlink(QFile::encodeName(path).constData()) == 0) {
        return;
    }
    try {
        FsoDeleteFile(path);
    } catch (const RunTimeError&) {
        // The file stays.
    }
}

void RemoveFolderQuiet(const QString& path) {
    ::rmdir(QFile::encodeName(path).constData());
}

void DeleteFolderTree(const QString& givenPath) {
    const QString path = WithoutTrailingSteps(givenPath);
    if (!FolderExists(path)) {
        return;
    }
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0) {
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        DeleteFileForced(path);  // the link goes, what it points to stays
        return;
    }
    OpenUpFolder(AT_FDCWD, name.constData(), st, path);
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return;
        }
        RaiseErrno(errno, kTreeSource + QLatin1Char(' ') + path);
    }
    {
        FdCloser closer(fd);
        DeleteContents(fd, path);
    }
    RemoveFolderQuiet(path);
}

}  // namespace bq
