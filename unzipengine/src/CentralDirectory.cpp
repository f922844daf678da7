// Reading the central directory and the local headers with the engine's own parser, and
// writing the central directory of a selection of entries (see CentralDirectory.h).
#include "CentralDirectory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

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
void Put16(std::vector<std::uint8_t>& out, std::uint64_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint64_t v) {
    Put16(out, v);
    Put16(out, v >> 16);
}
void Put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    Put32(out, v);
    Put32(out, v >> 32);
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

bool ReadCentralDirectory(const ArchiveFile& file, CentralDirectory& out, std::string& problem) {
    out.entries.clear();
    const std::uint64_t size = file.Size();
    if (size < kEndSize) {
        problem = "the file is too short to be a ZIP archive";
        return false;
    }
    // The end record is the last one whose comment reaches no further than the file's end.
    const std::size_t tailSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndSize + 65535));
    const std::uint64_t tailAt = size - tailSize;
    std::vector<std::uint8_t> tail(tailSize);
    if (!file.Read(tailAt, tail.data(), tailSize)) {
        problem = std::string("its end cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    std::size_t end = SIZE_MAX;
    for (std::size_t at = tailSize - kEndSize + 1; at-- > 0;) {
        if (Get32(tail.data() + at) == kEndSignature &&
            at + kEndSize + Get16(tail.data() + at + 20) <= tailSize) {
            end = at;
            break;
        }
    }
    if (end == SIZE_MAX) {
        problem = "no end-of-central-directory record (not a ZIP archive, or it is truncated)";
        return false;
    }
    const std::uint8_t* e = tail.data() + end;
    const std::uint64_t endAt = tailAt + end;
    std::uint64_t count = Get16(e + 10);
    std::uint64_t cdSize = Get32(e + 12);
    std::uint64_t cdOffset = Get32(e + 16);
    std::uint8_t locator[kZip64LocatorSize];
    if (endAt >= kZip64LocatorSize &&
        file.Read(endAt - kZip64LocatorSize, locator, sizeof locator) &&
        Get32(locator) == kZip64LocatorSignature) {
        const std::uint64_t z64 = Get64(locator + 8);
        std::uint8_t record[kZip64EndSize];
        if (z64 > size || size - z64 < kZip64EndSize || !file.Read(z64, record, sizeof record) ||
            Get32(record) != kZip64EndSignature) {
            problem = "the zip64 end record is missing or damaged";
            return false;
        }
        count = Get64(record + 32);
        cdSize = Get64(record + 40);
        cdOffset = Get64(record + 48);
    }
    if (cdOffset > size || cdSize > size - cdOffset) {
        problem = "the central directory lies outside the file (the archive is truncated)";
        return false;
    }
    if (count > cdSize / kCentralSize) {
        problem = "the central directory is shorter than its entry count says";
        return false;
    }
    try {
        out.bytes.resize(static_cast<std::size_t>(cdSize));
    } catch (const std::bad_alloc&) {
        problem = "its central directory is too large to read";
        return false;
    }
    if (!file.Read(cdOffset, out.bytes.data(), out.bytes.size())) {
        problem =
            std::string("its central directory cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    out.offset = cdOffset;
    out.entries.reserve(static_cast<std::size_t>(count));
    const std::uint8_t* p = out.bytes.data();
    std::size_t left = out.bytes.size();
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
        c.recordAt = static_cast<std::size_t>(p - out.bytes.data());
        c.recordLength = recordLength;
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

std::vector<std::uint8_t> CentralDirectoryOf(const CentralDirectory& directory,
                                             const std::vector<std::size_t>& entries) {
    std::vector<std::uint8_t> out;
    for (const std::size_t i : entries) {
        const CentralEntry& e = directory.entries[i];
        out.insert(
            out.end(), directory.bytes.begin() + static_cast<std::ptrdiff_t>(e.recordAt),
            directory.bytes.begin() + static_cast<std::ptrdiff_t>(e.recordAt + e.recordLength));
    }
    const std::uint64_t count = entries.size();
    const std::uint64_t cdSize = out.size();
    const std::uint64_t cdOffset = directory.offset;
    const bool zip64 = count >= 0xFFFF || cdSize >= 0xFFFFFFFFu || cdOffset >= 0xFFFFFFFFu;
    if (zip64) {
        const std::uint64_t z64 = cdOffset + cdSize;
        Put32(out, kZip64EndSignature);
        Put64(out, kZip64EndSize - 12);
        Put16(out, 45);
        Put16(out, 45);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, count);
        Put64(out, count);
        Put64(out, cdSize);
        Put64(out, cdOffset);
        Put32(out, kZip64LocatorSignature);
        Put32(out, 0);
        Put64(out, z64);
        Put32(out, 1);
    }
    Put32(out, kEndSignature);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, zip64 ? 0xFFFF : count);
    Put16(out, zip64 ? 0xFFFF : count);
    Put32(out, zip64 ? 0xFFFFFFFFu : cdSize);
    Put32(out, zip64 ? 0xFFFFFFFFu : cdOffset);
    Put16(out, 0);
    return out;
}

LocalHeader ReadLocalHeader(const ArchiveFile& file, const CentralEntry& e) {
    LocalHeader h;
    const std::uint64_t size = file.Size();
    if (e.localOffset > size || size - e.localOffset < kLocalSize) {
        h.problem = "its local header lies outside the file (the archive is truncated)";
        return h;
    }
    // The fixed part and the name, read together when the name is short.
    std::uint8_t fixed[kLocalSize + 256];
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kLocalSize + e.rawName.size(), size - e.localOffset));
    std::vector<std::uint8_t> longer;
    std::uint8_t* p = fixed;
    if (want > sizeof fixed) {
        longer.resize(want);
        p = longer.data();
    }
    if (!file.Read(e.localOffset, p, want)) {
        h.problem = std::string("its local header cannot be read (") + std::strerror(errno) + ")";
        return h;
    }
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
    if (nameLength != e.rawName.size() || kLocalSize + nameLength > want ||
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
