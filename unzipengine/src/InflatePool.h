// Worker threads that read whole entries from the archive file, inflate them with libdeflate
// and check their CRC-32, ahead of the thread that writes them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ArchiveFile.h"

namespace bq::unzipengine {

// One entry's whole data, read from the archive and inflated (or, when stored, checked) by a
// worker thread.
struct InflateJob {
    // ReadFailed: the archive no longer holds the data (cut short or unreadable since opened).
    enum class Outcome { Pending, Ok, BadData, TooLong, TooShort, BadCrc, ReadFailed };

    std::size_t index = 0;
    std::uint16_t method = 0;  // 0 stored, 8 deflated
    std::uint64_t size = 0;    // the declared size: the output never grows past it
    std::uint32_t crc = 0;     // the declared CRC-32
    const ArchiveFile* file = nullptr;
    std::uint64_t dataOffset = 0;  // where the entry's raw data lies in the archive
    std::size_t packedSize = 0;
    // Cost() bytes for the entry's data, then its raw data while it is inflated: lent by the
    // engine's read-ahead buffer, or else taken by the worker (ownMemory).
    std::uint8_t* memory = nullptr;
    bool lent = false;
    std::unique_ptr<std::uint8_t[]> ownMemory;
    std::uint32_t actualCrc = 0;
    Outcome outcome = Outcome::Pending;

    // The entry's data, once read (and inflated) with the outcome Ok.
    const std::uint8_t* Data() const { return memory; }
    std::size_t DataSize() const { return static_cast<std::size_t>(size); }
    // A stored entry whose two sizes differ: refused before any memory is taken for it.
    bool StoredSizesDisagree() const { return method == 0 && packedSize != size; }
    // The memory the job holds: its data and, when deflated, its raw data after it (a stored
    // entry's data is its raw data, read only when both sizes agree).
    std::size_t Cost() const {
        return method == 0 ? packedSize : static_cast<std::size_t>(size) + packedSize;
    }
};

// Jobs are taken in the order given; the caller waits for each in that order.
class InflatePool {
  public:
    explicit InflatePool(unsigned workers);
    ~InflatePool();
    InflatePool(const InflatePool&) = delete;
    InflatePool& operator=(const InflatePool&) = delete;

    void Submit(InflateJob* job);
    // Waits until job is done. Meanwhile the caller runs queued jobs itself (with its own
    // decompressor): the one it waits for when no worker has taken it, else the next ones.
    void Wait(InflateJob* job);
    // Lets the workers end after their current job; jobs not yet taken stay Pending.
    void Stop();

    // What a worker does with one job (also usable without threads); a failure to get memory
    // for the data is reported as unreadable data.
    static InflateJob::Outcome Run(InflateJob& job, void* decompressor);

  private:
    void Work();

    std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable doneCv_;
    std::deque<InflateJob*> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    void* callerDecompressor_ = nullptr;
};

}  // namespace bq::unzipengine
