#include "CentralDirectory.h"

#include <algorithm>
#include <cstring>

namespace bq::unzipengine {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;

std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

// Reads the zip64 and extended-timestamp extra fields of one central record.
bool ReadCentralExtras(const std::uint8_t* p, std::size_t length, bool needSize, bool needPacked,
                       bool needOffset, CentralEntry& e, std::string& problem) {
    bool zip64Seen = false;
    while (length >= 4) {
        const std::uint16_t id = Get16(p);
        const std::size_t fieldLength = Get16(p + 2);
        if (fieldLength > length - 4) {
            break;  // a cut field at the end: tools pad with junk; ignore the rest
        }
        const std::uint8_t* f = p + 4;
        if (id == 0x0001 && !zip64Seen) {
            zip64Seen = true;
            std::size_t at = 0;
            auto take = [&](std::uint64_t& v) {
                if (at + 8 > fieldLength) {
                    return false;
                }
                v = Get64(f + at);
                at += 8;
                return true;
            };
            if ((needSize && !take(e.size)) || (needPacked && !take(e.packedSize)) ||
                (needOffset && !take(e.localOffset))) {
                problem = "a zip64 extra field is too short";
                return false;
            }
            needSize = needPacked = needOffset = false;
        } else if (id == 0x5455 && fieldLength >= 5 && (f[0] & 1) != 0) {
            e.hasUnixTime = true;
            e.unixTime = static_cast<std::int32_t>(Get32(f + 1));
        }
        p += 4 + fieldLength;
        length -= 4 + fieldLength;
    }
    if (needSize || needPacked || needOffset) {
        problem = "an entry's sizes or offset need a zip64 extra field that is missing";
        return false;
    }
    return true;
}

}  // namespace

bool ReadCentralDirectory(const std::uint8_t* data, std::size_t size, CentralDirectory& out,
                          std::string& problem) {
    out.entries.clear();
    if (size < kEndSize) {
        problem = "the file is too short to be a ZIP archive";
        return false;
    }
    // The end record is the last one whose comment reaches no further than the file's end.
    const std::size_t lowest = size > kEndSize + 65535 ? size - kEndSize - 65535 : 0;
    std::size_t end = SIZE_MAX;
    for (std::size_t at = size - kEndSize + 1; at-- > lowest;) {
        if (Get32(data + at) == kEndSignature && at + kEndSize + Get16(data + at + 20) <= size) {
            end = at;
            break;
        }
    }
    if (end == SIZE_MAX) {
        problem = "no end-of-central-directory record (not a ZIP archive, or it is truncated)";
        return false;
    }
    const std::uint8_t* e = data + end;
    std::uint64_t count = Get16(e + 10);
    std::uint64_t cdSize = Get32(e + 12);
    std::uint64_t cdOffset = Get32(e + 16);
    if (end >= kZip64LocatorSize &&
        Get32(data + end - kZip64LocatorSize) == kZip64LocatorSignature) {
        const std::uint64_t z64 = Get64(data + end - kZip64LocatorSize + 8);
        if (z64 > size || size - z64 < kZip64EndSize || Get32(data + z64) != kZip64EndSignature) {
            problem = "the zip64 end record is missing or damaged";
            return false;
        }
        count = Get64(data + z64 + 32);
        cdSize = Get64(data + z64 + 40);
        cdOffset = Get64(data + z64 + 48);
    }
    if (cdOffset > size || cdSize > size - cdOffset) {
        problem = "the central directory lies outside the file (the archive is truncated)";
        return false;
    }
    if (count > cdSize / kCentralSize) {
        problem = "the central directory is shorter than its entry count says";
        return false;
    }
    out.offset = cdOffset;
    out.entries.reserve(static_cast<std::size_t>(count));
    const std::uint8_t* p = data + cdOffset;
    std::size_t left = static_cast<std::size_t>(cdSize);
    for (std::uint64_t i = 0; i < count; ++i) {
        if (left < kCentralSize || Get32(p) != kCentralSignature) {
            problem = "a central directory record is damaged";
            return false;
        }
        CentralEntry c;
        c.madeBy = Get16(p + 4);
        c.flags = Get16(p + 8);
        c.method = Get16(p + 10);
        c.dosTime = Get16(p + 12);
        c.dosDate = Get16(p + 14);
        c.crc = Get32(p + 16);
        c.packedSize = Get32(p + 20);
        c.size = Get32(p + 24);
        const std::size_t nameLength = Get16(p + 28);
        const std::size_t extraLength = Get16(p + 30);
        const std::size_t commentLength = Get16(p + 32);
        c.internalAttributes = Get16(p + 36);
        c.externalAttributes = Get32(p + 38);
        c.localOffset = Get32(p + 42);
        const std::size_t recordLength = kCentralSize + nameLength + extraLength + commentLength;
        if (recordLength > left) {
            problem = "a central directory record runs past the directory's end";
            return false;
        }
        c.rawName = std::string_view(reinterpret_cast<const char*>(p + kCentralSize), nameLength);
        if (!ReadCentralExtras(p + kCentralSize + nameLength, extraLength, c.size == 0xFFFFFFFFu,
                               c.packedSize == 0xFFFFFFFFu, c.localOffset == 0xFFFFFFFFu, c,
                               problem)) {
            return false;
        }
        out.entries.push_back(c);
        p += recordLength;
        left -= recordLength;
    }
    return true;
}

LocalHeader ReadLocalHeader(const std::uint8_t* data, std::size_t size, const CentralEntry& e) {
    LocalHeader h;
    if (e.localOffset > size || size - e.localOffset < kLocalSize) {
        h.problem = "its local header lies outside the file (the archive is truncated)";
        return h;
    }
    const std::uint8_t* p = data + e.localOffset;
    if (Get32(p) != kLocalSignature) {
        h.problem = "its local header is damaged (bad signature)";
        return h;
    }
    const std::size_t nameLength = Get16(p + 26);
    const std::size_t extraLength = Get16(p + 28);
    const std::uint64_t dataOffset = e.localOffset + kLocalSize + nameLength + extraLength;
    if (dataOffset > size) {
        h.problem = "its local header runs past the end of the file (the archive is truncated)";
        return h;
    }
    h.located = e.packedSize <= size - dataOffset;
    h.dataOffset = dataOffset;
    if (nameLength != e.rawName.size() ||
        std::memcmp(p + kLocalSize, e.rawName.data(), nameLength) != 0) {
        h.problem = "its local header names another file than the central directory";
        return h;
    }
    if (Get16(p + 8) != e.method) {
        h.problem = "its local header gives another compression method than the directory";
        return h;
    }
    if (e.packedSize > size - dataOffset) {
        h.problem = "its data runs past the end of the file (the archive is truncated)";
        return h;
    }
    h.ok = true;
    return h;
}

}  // namespace bq::unzipengine
