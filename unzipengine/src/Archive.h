// Opening and checking the archive: the file (read with pread, see ArchiveFile.h), the engine's
// own reading of its central directory, libzip's handle on it (through a source that reads the
// same file, and that leaves out the records libzip refuses, so that one bad record does not
// cost the other entries), the check that both read the directory the same way, and the check
// that no entry's data overlaps another's or the directory.
#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveFile.h"
#include "CentralDirectory.h"
#include "Report.h"

namespace bq::unzipengine {

class Archive {
  public:
    Archive() = default;
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens the archive at path and reads its directory; false after reporting why not.
    bool Open(const std::string& path, Report& report);

    const std::string& Path() const { return path_; }
    const ArchiveFile& File() const { return file_; }
    std::size_t Count() const { return directory_.entries.size(); }
    const CentralEntry& Entry(std::size_t i) const { return directory_.entries[i]; }

    // Whether libzip reads entry i's record; when not, Refused(i) says why.
    bool Readable(std::size_t i) const { return zipIndex_[i] >= 0; }
    const std::string& Refused(std::size_t i) const { return refused_[i]; }
    // libzip's handle, its index of entry i, its name (UTF-8; null when not readable) and view
    // of the entry.
    zip_t* Zip() const { return zip_; }
    zip_uint64_t ZipIndex(std::size_t i) const { return static_cast<zip_uint64_t>(zipIndex_[i]); }
    const char* ZipName(std::size_t i) const;
    const zip_stat_t& Stat(std::size_t i) const { return stats_[i]; }

    // Reads every entry's local header and checks that no entry's data overlaps another's or
    // the central directory; false after reporting (names: the entries' names as shown).
    bool CheckOverlaps(const std::vector<std::string>& names, Report& report);
    const LocalHeader& Local(std::size_t i) const { return locals_[i]; }

    struct Source;  // what libzip reads: the file, with a central directory of the engine's

  private:
    zip_t* OpenZip(const std::vector<std::size_t>* entries, zip_error_t& error);
    void SortOut(const std::vector<std::size_t>& entries, std::vector<std::size_t>& readable);

    std::string path_;
    ArchiveFile file_;
    CentralDirectory directory_;
    zip_t* zip_ = nullptr;
    std::vector<std::int64_t> zipIndex_;
    std::vector<std::string> refused_;
    std::vector<zip_stat_t> stats_;
    std::vector<LocalHeader> locals_;
};

}  // namespace bq::unzipengine
