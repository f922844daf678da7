// The archive file as the engine reads it: opened once, read with pread into the caller's
// buffers (from any thread), never mapped, so that memory follows the entries in flight and a
// file cut short by another program gives a failed read, not a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bq::unzipengine {

class ArchiveFile {
  public:
    ArchiveFile() = default;
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Opens path for reading without blocking (a FIFO is refused, not waited on). False with
    // errno on failure; EINVAL: not a regular file; EISDIR: a folder.
    bool Open(const std::string& path);

    // The file's size when it was opened.
    std::uint64_t Size() const { return size_; }

    // Reads exactly size bytes at offset into out. False when the file no longer holds them
    // (errno ENODATA: it was cut short since it was opened) or the read fails (errno kept).
    bool Read(std::uint64_t offset, void* out, std::size_t size) const;

    // Whether the file is now shorter than when it was opened (or can no longer be examined).
    bool Shrunk() const;

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

}  // namespace bq::unzipengine
