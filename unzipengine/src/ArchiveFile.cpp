// Opening the archive file and reading byte ranges of it (see ArchiveFile.h).
#include "ArchiveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bq::unzipengine {

ArchiveFile::~ArchiveFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ArchiveFile::Open(const std::string& path) {
    // O_NONBLOCK: a FIFO given as the archive is refused below instead of blocking here.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return false;
    }
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool ArchiveFile::Read(std::uint64_t offset, void* out, std::size_t size) const {
    auto* at = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t n = ::pread(fd_, at, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENODATA;
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ArchiveFile::Shrunk() const {
    struct stat st {};
    return ::fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < size_;
}

}  // namespace bq::unzipengine
