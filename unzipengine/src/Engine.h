// One call of the engine: lists, tests or extracts one archive. It opens the archive
// (Archive), plans the entries (Plan), then goes through them in archive order on the calling
// thread, making every callback and file-system call there, while workers read and inflate the
// entries ahead of it (InflatePool) and the writer puts each in place (EntryWriter).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "Archive.h"
#include "EntryWriter.h"
#include "InflatePool.h"
#include "Passwords.h"
#include "Plan.h"
#include "ReadAheadBuffer.h"
#include "Report.h"
#include "TargetFolder.h"
#include "unzip_engine.h"

namespace bq::unzipengine {

class Engine {
  public:
    Engine(const char* const* include, int includeCount, const char* const* exclude,
           int excludeCount, const UzpOptions& options, const UzpCallbacks& callbacks);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The call's work; returns its BQUZP_* result.
    int Run();

  private:
    void List();
    void Process();
    // Whether the selected entry i may go on to be written or tested; reports when not.
    bool Admit(std::size_t i);
    void ProcessEntry(std::size_t i);
    void ProcessFolder(std::size_t i);
    // Opens the folder an entry goes into; false after reporting.
    bool OpenFolder(std::size_t i, const std::string& relative, int& folder);
    // Hands whole entries to the workers, as far as the read-ahead allows.
    void ReadAhead();
    // The job of entry i once its data is ready; null when it was reported as failed.
    const InflateJob* Ready(std::size_t i);

    bool Testing() const { return options_.TestZip != 0; }

    const UzpOptions& options_;
    Report report_;
    std::vector<std::string> includes_;
    std::vector<std::string> excludes_;
    std::vector<bool> includeMatched_;

    Archive archive_;
    std::vector<Planned> plan_;
    TargetFolder target_;
    Passwords passwords_;
    std::unique_ptr<EntryWriter> writer_;
    std::unique_ptr<ReadAheadBuffer> buffer_;  // outlives the workers that write into it
    std::unique_ptr<InflatePool> pool_;
    std::vector<std::unique_ptr<InflateJob>> jobs_;  // by entry index, while in flight
    std::size_t readNext_ = 0;
    std::size_t readAheadBytes_ = 0;
};

}  // namespace bq::unzipengine
