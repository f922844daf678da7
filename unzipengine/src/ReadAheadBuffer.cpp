// The read-ahead ring (see ReadAheadBuffer.h).
#include "ReadAheadBuffer.h"

#include <sys/mman.h>

#include <algorithm>

namespace bq::unzipengine {

namespace {
// Huge pages need the region aligned to their size; the kernel then fills the ring with a few
// hundred faults instead of thousands.
constexpr std::size_t kHugePage = 2u << 20;
}  // namespace

ReadAheadBuffer::ReadAheadBuffer(std::size_t capacity) {
    const std::size_t length = capacity + kHugePage;
    void* m = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        return;  // every entry then gets its own memory
    }
    mapping_ = m;
    mapped_ = length;
    const auto at = reinterpret_cast<std::uintptr_t>(m);
    const std::uintptr_t aligned = (at + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    base_ = reinterpret_cast<std::uint8_t*>(aligned);
    capacity_ = capacity;
    ::madvise(base_, capacity_, MADV_HUGEPAGE);  // a hint: no huge pages is fine too
}

ReadAheadBuffer::~ReadAheadBuffer() {
    if (mapping_ != nullptr) {
        ::munmap(mapping_, mapped_);
    }
}

std::uint8_t* ReadAheadBuffer::Take(std::size_t size) {
    if (base_ == nullptr || size > capacity_) {
        return nullptr;
    }
    size = std::max<std::size_t>(size, 1);
    std::size_t begin = 0;
    if (!spans_.empty()) {
        const std::size_t oldest = spans_.front().begin;
        const std::size_t head = spans_.back().end;
        if (spans_.back().begin >= oldest) {
            // Not wrapped: the free space is after the head, then before the oldest span.
            if (capacity_ - head >= size) {
                begin = head;
            } else if (oldest >= size) {
                begin = 0;
            } else {
                return nullptr;
            }
        } else {
            // Wrapped: the free space lies between the head and the oldest span.
            if (oldest - head < size) {
                return nullptr;
            }
            begin = head;
        }
    }
    spans_.push_back({begin, begin + size, false});
    return base_ + begin;
}

void ReadAheadBuffer::GiveBack(const std::uint8_t* span) {
    const auto it = std::find_if(spans_.begin(), spans_.end(),
                                 [&](const Span& s) { return !s.back && base_ + s.begin == span; });
    if (it == spans_.end()) {
        return;
    }
    it->back = true;
    while (!spans_.empty() && spans_.front().back) {
        spans_.pop_front();
    }
}

}  // namespace bq::unzipengine
