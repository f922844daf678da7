// The archive's central directory and local headers as the engine reads them itself (beside
// libzip): where each entry's local header and data lie, its flags, host, attributes and times;
// and the central directory of a selection of entries, for libzip when it refuses some records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveFile.h"

namespace bq::unzipengine {

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
    std::string_view rawName;  // points into CentralDirectory::bytes
    std::size_t recordAt = 0;  // the whole record, in CentralDirectory::bytes
    std::size_t recordLength = 0;
};

struct CentralDirectory {
    std::vector<CentralEntry> entries;
    std::uint64_t offset = 0;         // where the central directory starts in the file
    std::vector<std::uint8_t> bytes;  // the central directory as read
};

// Reads the central directory of the archive. Returns false with a description of the damage
// when it cannot be read whole.
bool ReadCentralDirectory(const ArchiveFile& file, CentralDirectory& out, std::string& problem);

// A central directory holding only the records of the entries given (in that order), followed
// by end records saying where it starts (directory.offset) and how many entries it holds.
std::vector<std::uint8_t> CentralDirectoryOf(const CentralDirectory& directory,
                                             const std::vector<std::size_t>& entries);

// The local header of entry e: where its data starts, after checking that the header is whole,
// carries the local signature and the same name and method as the central directory.
struct LocalHeader {
    bool ok = false;       // whole and agreeing with the central directory
    bool located = false;  // whole enough to say where the data lies (dataOffset)
    std::uint64_t dataOffset = 0;
    std::string problem;
};
LocalHeader ReadLocalHeader(const ArchiveFile& file, const CentralEntry& e);

}  // namespace bq::unzipengine
