// Planning the entries before anything is written: each entry's name (shown and safe relative
// path), selection by the include and exclude names, kind, permission bits and time, and the
// safety decisions (names that would leave the target, duplicates, paths too long, links,
// records libzip cannot read) that keep an entry from being written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "Archive.h"
#include "Names.h"
#include "unzip_engine.h"

namespace bq::unzipengine {

enum class Kind { File, Folder, Link, Special };

struct Planned {
    bool selected = false;
    EntryName name;
    Kind kind = Kind::File;
    bool unixMode = false;
    mode_t permissions = 0;  // rwx bits only; setuid, setgid and sticky are dropped
    bool readOnly = false;   // DOS read-only attribute (entries made elsewhere)
    bool text = false;
    bool encrypted = false;
    bool duplicate = false;
    bool pathTooLong = false;
    bool wholeInMemory = false;  // read and inflated whole by the workers
    std::time_t mtime = 0;
    std::uint16_t method = 0;  // the real method (AES entries report the inner one)
};

// Plans every entry of the archive. includeMatched[k] is set when include name k selects an
// entry.
std::vector<Planned> PlanEntries(const Archive& archive, const UzpOptions& options,
                                 const std::vector<std::string>& includes,
                                 const std::vector<std::string>& excludes,
                                 std::vector<bool>& includeMatched);

// Why a selected entry is not written (or its folder not made), as the code and message the run
// reports; code 0 when nothing keeps it from being written.
struct Refusal {
    int code = BQUZP_OK;
    std::string text;
};
Refusal RefusalOf(const Archive& archive, std::size_t i, const Planned& p);

// The compression method as Info-ZIP's listing names it ("Stored", "Defl:N", "Unk:123", ...).
std::string MethodName(std::uint16_t method, std::uint16_t flags);

}  // namespace bq::unzipengine
