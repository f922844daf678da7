#include "fs/WriteBytesIfAbsent.h"

#include "fs/FileTests.h"
#include "fs/PathText.h"
#include "platform/MessageLoop.h"
#include "platform/RunTimeError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

namespace bq {

namespace {

const QString kSource = QStringLiteral("WriteBytesIfAbsent");

// Writes everything; answers errno on failure, 0 on success.
int WriteAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        left -= written;
    }
    return 0;
}

// Writes the bytes into the open file named name and closes it; on any failure the file is
// removed again and the error raised.
void WriteAndClose(int fd, const QByteArray& bytes, const QByteArray& name) {
    int error = WriteAll(fd, bytes);
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(name.constData());
        RaiseErrno(error, kSource);
    }
}

// Something stands at the target although it was absent when looked at (links are followed
// there): a file another writer put in place is left as it is; anything else, a dangling link
// above all, is not written through and is reported.
void CheckWhatStandsAt(const QByteArray& target, const QString& path) {
    struct stat st {};
    if (::lstat(target.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        return;
    }
    RaiseError(ErrPathFileAccess, kSource + QLatin1Char(' ') + path,
               QStringLiteral("Path/File access error: %1 is a link or other entry that is not a "
                              "file, so nothing was written there. Remove it, then try again")
                   .arg(path));
}

// Where the link into place is not possible (file systems without hard links), the file is
// created exclusively under its own name; a failed write removes it again.
void WriteInPlace(const QByteArray& bytes, const QByteArray& target, const QString& path) {
    const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) {
            CheckWhatStandsAt(target, path);
            return;
        }
        RaiseErrno(errno, kSource);
    }
    WriteAndClose(fd, bytes, target);
}

}  // namespace

void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path) {
    YieldToMessageLoop();
    if (FileIsPresent(path)) {
        return;
    }
    const QByteArray target = QFile::encodeName(path);
    if (target.isEmpty()) {
        RaiseError(ErrFileNotFound, kSource);
    }

    // Written under a private name beside the target, then linked into place: the target name
    // never shows a half-written file and an existing file is never replaced.
    QByteArray scratch = QFile::encodeName(FolderPart(path)) + ".bq-write-XXXXXX";
    const int fd = ::mkostemp(scratch.data(), O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EROFS || errno == ENOENT || errno == ENOTDIR) {
            RaiseErrno(errno, kSource);
        }
        WriteInPlace(bytes, target, path);
        return;
    }
    ::fchmod(fd, 0666 & ~CurrentUmask());
    WriteAndClose(fd, bytes, scratch);
    const bool linked = ::link(scratch.constData(), target.constData()) == 0;
    const int linkError = errno;
    ::unlink(scratch.constData());
    if (linked) {
        return;
    }
    if (linkError == EEXIST) {
        CheckWhatStandsAt(target, path);
        return;
    }
    if (linkError == EPERM || linkError == EOPNOTSUPP || linkError == EXDEV) {
        WriteInPlace(bytes, target, path);
        return;
    }
    RaiseErrno(linkError, kSource);
}

}  // namespace bq
