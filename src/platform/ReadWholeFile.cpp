#include "platform/ReadWholeFile.h"

#include "platform/RunTimeError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace bq {

QByteArray ReadWholeFile(const QString& path) {
    const QString source = QStringLiteral("ReadWholeFile");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        RaiseErrno(errno, source);
    }
    QByteArray data;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        data.reserve(static_cast<qsizetype>(st.st_size));
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                error = errno;
                break;
            }
            if (got == 0) {
                break;
            }
            data.append(buffer, got);
        }
    }
    ::close(fd);
    if (error != 0) {
        RaiseErrno(error, source);
    }
    return data;
}

}  // namespace bq
