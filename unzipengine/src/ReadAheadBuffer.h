// The memory the entries read ahead of the writer live in: one region, taken once per call and
// used as a ring. Entries are read in archive order and given back in the same order, so each
// takes the next free span and memory already touched is used again and again: fresh pages for
// every entry would cost a page fault each, more than inflating them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace bq::unzipengine {

class ReadAheadBuffer {
  public:
    explicit ReadAheadBuffer(std::size_t capacity);
    ~ReadAheadBuffer();
    ReadAheadBuffer(const ReadAheadBuffer&) = delete;
    ReadAheadBuffer& operator=(const ReadAheadBuffer&) = delete;

    // size contiguous bytes after the spans in use, or null when they are not free now (or the
    // region could not be had at all: callers then allocate on their own).
    std::uint8_t* Take(std::size_t size);
    // False when the region could not be had: every entry then gets memory of its own.
    bool Usable() const { return base_ != nullptr; }
    // Gives back a span from Take; spans may come back in any order, their memory is used again
    // once every older span is back too.
    void GiveBack(const std::uint8_t* span);

  private:
    struct Span {
        std::size_t begin;
        std::size_t end;
        bool back;
    };

    std::uint8_t* base_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t mapped_ = 0;
    void* mapping_ = nullptr;
    std::deque<Span> spans_;  // in the order taken
};

}  // namespace bq::unzipengine
