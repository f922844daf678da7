// Reporting the run: messages, the result code, the service question (see Report.h).
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Names.h"

namespace bq::unzipengine {

namespace {
constexpr std::size_t kMaxMessage = 1023;

bool DiskIsFull(int error) {
    return error == ENOSPC || error == EDQUOT || error == EROFS;
}
}  // namespace

void Report::Say(Severity severity, const std::string& text) {
    if (callbacks_.Print == nullptr) {
        return;
    }
    const int level = std::max(options_.MessageLevel, 0);
    if ((severity == Severity::Info && level > 0) || (severity == Severity::Warning && level > 1)) {
        return;
    }
    // One line of at most kMaxMessage bytes with its newline, never empty, no NUL inside: made
    // once from the text, never shrunk in place.
    std::string_view body = text;
    while (!body.empty() && body.back() == '\n') {
        body.remove_suffix(1);
    }
    std::string line = body.empty() ? std::string(1, '?') : Shorten(body, kMaxMessage - 1);
    std::replace(line.begin(), line.end(), '\0', '?');
    line += '\n';
    callbacks_.Print(line.c_str(), static_cast<std::uint32_t>(line.size()));
}

void Report::Fail(int code, const std::string& text) {
    Raise(code);
    Say(code == BQUZP_WARN ? Severity::Warning : Severity::Error, text);
}

void Report::Raise(int code) {
    result_ = std::max(result_, code);
}

bool Report::MayGoOn(const std::string& entryName) {
    if (callbacks_.Service == nullptr ||
        callbacks_.Service(entryName.c_str(), static_cast<std::uint32_t>(entryName.size() + 1)) !=
            1) {
        return true;
    }
    stop = true;
    Fail(BQUZP_CTRLC, "stopped: the extraction was cancelled before " + Shown(entryName) +
                          "; the entries from there on were not written");
    return false;
}

void Report::WriteError(const std::string& what, int error) {
    if (error == EEXIST) {
        // Nothing stood there when the engine looked: another program (another extraction
        // into the same folder, say) put a file there meanwhile.
        Fail(BQUZP_ERR, "error: " + what +
                            ": another file appeared at that place while it was being "
                            "extracted (is another program writing into the same folder?); "
                            "that file is kept; extract again once the other program is done");
    } else if (DiskIsFull(error)) {
        stop = true;
        Fail(BQUZP_DISK, "error: " + what + ": " + std::strerror(error) +
                             "; free some space (or choose a writable folder) and extract again");
    } else {
        Fail(BQUZP_DISK, "error: " + what + ": " + std::strerror(error) +
                             "; check the target folder's permissions and free space");
    }
}

void Report::JobFailed(const std::string& shown, const InflateJob& job, bool testing) {
    const char* tail = testing ? "" : "; the file was not written";
    switch (job.outcome) {
        case InflateJob::Outcome::BadCrc: {
            char crcs[64];
            std::snprintf(crcs, sizeof crcs, "(CRC %08x, should be %08x)", job.actualCrc, job.crc);
            Fail(BQUZP_ERR, "  error: " + shown + ": bad CRC " + crcs + ", the data is damaged" +
                                tail + "; get an undamaged copy of the archive");
            break;
        }
        case InflateJob::Outcome::TooLong:
            Fail(BQUZP_ERR,
                 "  error: " + shown + ": the data is longer than the declared size of " +
                     std::to_string(job.size) + " bytes (damaged, or built to blow up)" + tail);
            break;
        case InflateJob::Outcome::TooShort:
            Fail(BQUZP_ERR, "  error: " + shown + ": the data ends before the declared size of " +
                                std::to_string(job.size) + " bytes" + tail +
                                "; get a complete copy of the archive");
            break;
        default:
            Fail(BQUZP_ERR, "  error: " + shown + ": the compressed data is damaged" +
                                std::string(tail) + "; get an undamaged copy of the archive");
            break;
    }
}

void Report::ArchiveChanged(const std::string& shown, const std::string& archive) {
    stop = true;
    Fail(BQUZP_EOF, "error: " + Shown(archive) + " was cut short or changed while " + shown +
                        " was read (another program is writing it?); that entry and the ones "
                        "after it were not written; extract again from a complete copy");
}

std::string Report::Shown(std::string_view name) {
    return IsValidUtf8(name) ? Shorten(name, 400) : std::string("(a name that is not UTF-8)");
}

}  // namespace bq::unzipengine
