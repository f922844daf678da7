// Reporting: the messages the print callback hears (levels, length and text rules), the run's
// result code, the tallies that decide it at the end, the service question asked before each
// entry, and how names and failed writes are put in messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "InflatePool.h"
#include "unzip_engine.h"

namespace bq::unzipengine {

enum class Severity { Info, Warning, Error };

class Report {
  public:
    Report(const UzpOptions& options, const UzpCallbacks& callbacks)
        : options_(options), callbacks_(callbacks) {}

    // One message, if the message level lets it through.
    void Say(Severity severity, const std::string& text);
    // Raises the result to code and says text (a warning for BQUZP_WARN, else an error).
    void Fail(int code, const std::string& text);
    void Raise(int code);
    int Result() const { return result_; }

    // Asks the service callback before an entry; false (reported, and the run stops) when it
    // answers that the run is to stop.
    bool MayGoOn(const std::string& entryName);

    // A file-system call on the target failed: what names the step and the file.
    void WriteError(const std::string& what, int error);
    // A whole entry's data was found wrong (see InflateJob::Outcome).
    void JobFailed(const std::string& shown, const InflateJob& job, bool testing);
    // The archive could not be read any further: cut short or changed while it was read.
    void ArchiveChanged(const std::string& shown, const std::string& archive);

    // A name as a message shows it: at most 400 bytes, valid UTF-8.
    static std::string Shown(std::string_view name);

    const UzpCallbacks& Callbacks() const { return callbacks_; }

    // The run stops before the next entry (cancelled, disk full, archive cut short).
    bool stop = false;
    // Selected file entries whose data was attempted, and those skipped for a refused or wrong
    // password, for an unsupported method or encryption, and found damaged when testing.
    std::size_t tried = 0;
    std::size_t badPassword = 0;
    std::size_t unsupported = 0;
    std::size_t testErrors = 0;

  private:
    const UzpOptions& options_;
    const UzpCallbacks& callbacks_;
    int result_ = BQUZP_OK;
};

}  // namespace bq::unzipengine
