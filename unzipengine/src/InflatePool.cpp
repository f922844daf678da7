// The inflating workers and what each does with one job (see InflatePool.h).
#include "InflatePool.h"

#include <libdeflate.h>

#include <algorithm>

namespace bq::unzipengine {

namespace {
// Reads, inflates and checks one job's data (see InflatePool::Run).
InflateJob::Outcome Inflate(InflateJob& job, libdeflate_decompressor* d);
}  // namespace

InflatePool::InflatePool(unsigned workers) {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) {
        threads_.emplace_back([this] { Work(); });
    }
}

InflatePool::~InflatePool() {
    Stop();
    libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(callerDecompressor_));
}

void InflatePool::Submit(InflateJob* job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(job);
    }
    workCv_.notify_one();
}

void InflatePool::Wait(InflateJob* job) {
    std::unique_lock lock(mutex_);
    while (job->outcome == InflateJob::Outcome::Pending && !stopping_) {
        if (queue_.empty()) {
            doneCv_.wait(lock);
            continue;
        }
        // Rather than sit idle, run a job here: the one waited for when no worker has taken it
        // yet, else the next one in line.
        auto take = std::find(queue_.begin(), queue_.end(), job);
        if (take == queue_.end()) {
            take = queue_.begin();
        }
        InflateJob* mine = *take;
        queue_.erase(take);
        lock.unlock();
        if (callerDecompressor_ == nullptr) {
            callerDecompressor_ = libdeflate_alloc_decompressor();
        }
        const InflateJob::Outcome outcome = Run(*mine, callerDecompressor_);
        lock.lock();
        mine->outcome = outcome;
    }
}

void InflatePool::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    workCv_.notify_all();
    doneCv_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
    threads_.clear();
}

InflateJob::Outcome InflatePool::Run(InflateJob& job, void* decompressor) {
    if (decompressor == nullptr) {
        return InflateJob::Outcome::BadData;
    }
    try {
        return Inflate(job, static_cast<libdeflate_decompressor*>(decompressor));
    } catch (...) {  // out of memory for the data: reported as unreadable data
        job.ownMemory.reset();
        if (!job.lent) {
            job.memory = nullptr;
        }
        return InflateJob::Outcome::BadData;
    }
}

namespace {

InflateJob::Outcome Inflate(InflateJob& job, libdeflate_decompressor* d) {
    if (job.StoredSizesDisagree()) {
        return job.packedSize > job.size ? InflateJob::Outcome::TooLong
                                         : InflateJob::Outcome::TooShort;
    }
    if (job.memory == nullptr) {
        // Not zeroed: every byte that counts is read or written by libdeflate.
        job.ownMemory.reset(new std::uint8_t[job.Cost() + 1]);
        job.memory = job.ownMemory.get();
    }
    InflateJob::Outcome outcome = InflateJob::Outcome::Ok;
    if (job.method == 0) {
        if (!job.file->Read(job.dataOffset, job.memory, job.packedSize)) {
            outcome = InflateJob::Outcome::ReadFailed;
        }
    } else {
        std::uint8_t* packed = job.memory + job.DataSize();
        std::size_t produced = 0;
        if (!job.file->Read(job.dataOffset, packed, job.packedSize)) {
            outcome = InflateJob::Outcome::ReadFailed;
        } else {
            const libdeflate_result r = libdeflate_deflate_decompress(
                d, packed, job.packedSize, job.memory, job.DataSize(), &produced);
            if (r == LIBDEFLATE_INSUFFICIENT_SPACE) {
                outcome = InflateJob::Outcome::TooLong;
            } else if (r != LIBDEFLATE_SUCCESS) {
                outcome = InflateJob::Outcome::BadData;
            } else if (produced != job.DataSize()) {
                outcome = InflateJob::Outcome::TooShort;
            }
        }
    }
    if (outcome == InflateJob::Outcome::Ok) {
        job.actualCrc = static_cast<std::uint32_t>(libdeflate_crc32(0, job.Data(), job.DataSize()));
        if (job.actualCrc != job.crc) {
            outcome = InflateJob::Outcome::BadCrc;
        }
    }
    if (outcome != InflateJob::Outcome::Ok && !job.lent) {
        job.ownMemory.reset();
        job.memory = nullptr;
    }
    return outcome;
}

}  // namespace

void InflatePool::Work() {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (;;) {
        InflateJob* job = nullptr;
        {
            std::unique_lock lock(mutex_);
            workCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                break;
            }
            job = queue_.front();
            queue_.pop_front();
        }
        const InflateJob::Outcome outcome = Run(*job, d);
        {
            std::lock_guard lock(mutex_);
            job->outcome = outcome;
        }
        doneCv_.notify_all();
    }
    libdeflate_free_decompressor(d);
}

}  // namespace bq::unzipengine
