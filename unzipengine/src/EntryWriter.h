// Writing an entry: deciding about a file already at its place, writing under a temporary name
// (whole from memory, or streamed through libzip with its CRC and size checked), line ends,
// and finishing (bits, time, then the rename that puts the file in place whole).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Archive.h"
#include "InflatePool.h"
#include "Passwords.h"
#include "Plan.h"
#include "Report.h"
#include "TargetFolder.h"
#include "unzip_engine.h"

namespace bq::unzipengine {

// Where an entry goes: the open folder, the file's name in it, its path below the target.
struct Place {
    int folder = -1;
    std::string leaf;
    std::string relative;
};

class EntryWriter {
  public:
    EntryWriter(const UzpOptions& options, const Archive& archive, const std::vector<Planned>& plan,
                TargetFolder& target, Passwords& passwords, Report& report);

    // Writes entry i from the job's data (read and checked by a worker).
    void WriteWhole(std::size_t i, const Place& place, const InflateJob& job);
    // Reads entry i through libzip, checking its size and CRC, and writes it to place; with no
    // place (testing) only reads and checks it.
    void Stream(std::size_t i, const Place* place);

  private:
    struct Output {
        int fd = -1;
        std::string temporary;
        bool replacing = false;
        bool decided = false;  // Decide has been asked about the file at the entry's place
    };
    enum class Existing { Create, Replace, Keep };

    Existing Decide(std::size_t i, const Place& place);
    // Opens a temporary file beside the entry's place, deciding first about a file there when
    // decideFirst; false when the entry is not to be written (kept, blocked, or reported).
    bool Begin(std::size_t i, const Place& place, bool decideFirst, Output& out);
    // Sets the bits and time, closes, and renames the file into place (deciding about a file
    // found there, if not decided yet); reports a failure.
    bool Finish(std::size_t i, const Place& place, Output& out);
    void Abandon(const Place& place, Output& out);
    void Done(std::size_t i);

    const UzpOptions& options_;
    const Archive& archive_;
    const std::vector<Planned>& plan_;
    TargetFolder& target_;
    Passwords& passwords_;
    Report& report_;
    mode_t umask_ = 0777;
    pid_t pid_ = 0;
    std::uint64_t temporaryCounter_ = 0;
    bool replaceAll_ = false;
    bool replaceNone_ = false;
};

}  // namespace bq::unzipengine
