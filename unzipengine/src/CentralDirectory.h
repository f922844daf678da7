#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bq::unzipengine {

// What the engine needs to know of one entry beyond what libzip reports: where its local header
// lies, its internal attributes (the text mark), its flags and its host, read straight from the
// central directory of the mapped archive.
struct CentralEntry {
    std::uint64_t localOffset = 0;
    std::uint64_t packedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
    std::uint16_t madeBy = 0;
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    bool hasUnixTime = false;
    std::int64_t unixTime = 0;
    std::string_view rawName;  // points into the mapped archive
};

struct CentralDirectory {
    std::vector<CentralEntry> entries;
    std::uint64_t offset = 0;  // where the central directory starts
};

// Reads the central directory of the archive in [data, data + size). Returns false with a
// description of the damage when it cannot be read whole.
bool ReadCentralDirectory(const std::uint8_t* data, std::size_t size, CentralDirectory& out,
                          std::string& problem);

// The local header of entry e: where its data starts, after checking that the header is whole,
// carries the local signature and the same name and method as the central directory.
struct LocalHeader {
    bool ok = false;       // whole and agreeing with the central directory
    bool located = false;  // whole enough to say where the data lies (dataOffset)
    std::uint64_t dataOffset = 0;
    std::string problem;
};
LocalHeader ReadLocalHeader(const std::uint8_t* data, std::size_t size, const CentralEntry& e);

}  // namespace bq::unzipengine
