// Writing entries into the target folder (see EntryWriter.h).
#include "EntryWriter.h"

#include "RenameInPlace.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bq::unzipengine {

namespace {

constexpr std::size_t kStreamChunk = 1u << 20;

// Turns lone CRs and CR LF pairs into LF, across chunk boundaries.
class LineEnds {
  public:
    void Convert(const std::uint8_t* in, std::size_t n, std::vector<std::uint8_t>& out) {
        out.clear();
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = in[i];
            if (c == '\n' && afterCr_) {
                afterCr_ = false;
                continue;
            }
            afterCr_ = c == '\r';
            out.push_back(afterCr_ ? std::uint8_t('\n') : c);
        }
    }

  private:
    bool afterCr_ = false;
};

// Writes data, converting line ends when lineEnds is given.
bool WriteData(int fd, const std::uint8_t* data, std::size_t size, LineEnds* lineEnds,
               std::vector<std::uint8_t>& converted) {
    if (lineEnds == nullptr) {
        return WriteAll(fd, data, size);
    }
    lineEnds->Convert(data, size, converted);
    return WriteAll(fd, converted.data(), converted.size());
}

}  // namespace

EntryWriter::EntryWriter(const UzpOptions& options, const Archive& archive,
                         const std::vector<Planned>& plan, TargetFolder& target,
                         Passwords& passwords, Report& report)
    : options_(options),
      archive_(archive),
      plan_(plan),
      target_(target),
      passwords_(passwords),
      report_(report),
      umask_(CurrentUmask()),
      pid_(::getpid()) {}

EntryWriter::Existing EntryWriter::Decide(std::size_t i, const Place& place) {
    struct stat st {};
    const std::string shown = Report::Shown(plan_[i].name.shown);
    if (::fstatat(place.folder, place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return Existing::Create;
        }
        report_.WriteError("cannot look at " + Report::Shown(place.relative) + " for " + shown,
                           errno);
        return Existing::Keep;
    }
    if (S_ISDIR(st.st_mode)) {
        report_.Fail(BQUZP_ERR, "  skipping: " + shown + ": a folder named " +
                                    Report::Shown(place.relative) +
                                    " is in the way; remove it from the target folder or extract "
                                    "elsewhere");
        return Existing::Keep;
    }
    Existing decision = Existing::Keep;
    if (options_.ExtractOnlyNewer != 0) {
        decision = st.st_mtime >= plan_[i].mtime ? Existing::Keep : Existing::Replace;
    } else if (options_.OverwriteExisting != 0 || replaceAll_) {
        decision = Existing::Replace;
    } else if (options_.PromptToOverwrite != 0 && !replaceNone_ &&
               report_.Callbacks().Replace != nullptr) {
        const std::string full = target_.Path() + "/" + place.relative;
        switch (report_.Callbacks().Replace(full.c_str())) {
            case BQUZP_REPLACE_YES:
                decision = Existing::Replace;
                break;
            case BQUZP_REPLACE_ALL:
                replaceAll_ = true;
                decision = Existing::Replace;
                break;
            case BQUZP_REPLACE_NONE:
                replaceNone_ = true;
                break;
            default:
                break;
        }
    }
    if (decision == Existing::Keep) {
        if (!S_ISREG(st.st_mode)) {
            // A link, FIFO, socket or device keeps the entry out: the entry is missing.
            report_.Fail(BQUZP_WARN,
                         "  skipping: " + shown + ": " + Report::Shown(place.relative) +
                             " in the target folder is a link or something else that is not a "
                             "file, so the entry was not written; remove it, or let the files "
                             "in the target folder be replaced");
        } else if (options_.ExtractOnlyNewer != 0) {
            report_.Say(Severity::Info,
                        "  skipping: " + shown + ": the existing file is not older");
        } else {
            report_.Say(Severity::Info, "  skipping: " + shown + ": the file exists and is kept");
        }
    }
    return decision;
}

bool EntryWriter::Begin(std::size_t i, const Place& place, bool decideFirst, Output& out) {
    if (decideFirst) {
        const Existing decision = Decide(i, place);
        if (decision == Existing::Keep) {
            return false;
        }
        out.decided = true;
        out.replacing = decision == Existing::Replace;
    }
    const Planned& p = plan_[i];
    const mode_t mode = p.unixMode ? p.permissions : (p.readOnly ? 0444 : 0666);
    for (int attempt = 0; attempt < 100 && out.fd < 0; ++attempt) {
        out.temporary =
            ".bqunzip-" + std::to_string(pid_) + "-" + std::to_string(++temporaryCounter_);
        out.fd = CreateFileIn(place.folder, out.temporary.c_str(), mode);
        if (out.fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (out.fd < 0) {
        report_.WriteError("cannot create " + Report::Shown(place.relative), errno);
        return false;
    }
    return true;
}

bool EntryWriter::Finish(std::size_t i, const Place& place, Output& out) {
    const Planned& p = plan_[i];
    bool ok = true;
    int error = 0;
    // Stored bits are set whatever the umask (as Info-ZIP does); others follow the umask, as
    // the file was made.
    if (p.unixMode && (p.permissions & umask_) != 0 && ::fchmod(out.fd, p.permissions) != 0) {
        ok = false;
        error = errno;
    }
    const struct timespec times[2] = {{p.mtime, 0}, {p.mtime, 0}};
    if (ok && ::futimens(out.fd, times) != 0) {
        ok = false;
        error = errno;
    }
    if (::close(out.fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    out.fd = -1;
    if (!ok) {
        Abandon(place, out);
        report_.WriteError("cannot finish " + Report::Shown(place.relative), error);
        return false;
    }
    const char* from = out.temporary.c_str();
    int renamed = RenameInPlace(place.folder, from, place.leaf.c_str(), out.replacing);
    error = errno;
    if (renamed != 0 && error == EEXIST && !out.decided) {
        // Something is at the entry's place: decided now, with the file whole beside it.
        const Existing decision = Decide(i, place);
        if (decision == Existing::Keep) {
            Abandon(place, out);
            return false;
        }
        out.decided = true;
        renamed =
            RenameInPlace(place.folder, from, place.leaf.c_str(), decision == Existing::Replace);
        error = errno;
    }
    if (renamed != 0) {
        Abandon(place, out);
        report_.WriteError("cannot put " + Report::Shown(place.relative) + " in place", error);
        return false;
    }
    Done(i);
    return true;
}

void EntryWriter::Abandon(const Place& place, Output& out) {
    if (out.fd >= 0) {
        ::close(out.fd);
        out.fd = -1;
    }
    ::unlinkat(place.folder, out.temporary.c_str(), 0);
}

void EntryWriter::Done(std::size_t i) {
    report_.Say(Severity::Info,
                std::string(plan_[i].method == 0 ? " extracting: " : "  inflating: ") +
                    Report::Shown(plan_[i].name.shown));
}

void EntryWriter::WriteWhole(std::size_t i, const Place& place, const InflateJob& job) {
    Output out;
    // Whole entries are written first and decided about only when something is at their
    // place (the rename says so), which spares a look at the place for every file.
    if (!Begin(i, place, false, out)) {
        return;
    }
    LineEnds lineEnds;
    std::vector<std::uint8_t> converted;
    const bool convert = plan_[i].text && options_.ConvertCRToCRLF != 0;
    if (!WriteData(out.fd, job.Data(), job.DataSize(), convert ? &lineEnds : nullptr, converted)) {
        const int error = errno;
        Abandon(place, out);
        report_.WriteError("cannot write " + Report::Shown(place.relative), error);
        return;
    }
    Finish(i, place, out);
}

void EntryWriter::Stream(std::size_t i, const Place* place) {
    const Planned& p = plan_[i];
    const CentralEntry& e = archive_.Entry(i);
    const std::string shown = Report::Shown(p.name.shown);
    const bool testing = place == nullptr;
    Output out;
    if (!testing && !Begin(i, *place, true, out)) {
        return;
    }
    zip_file_t* f = passwords_.Open(i, p);
    if (f == nullptr) {
        if (testing) {
            ++report_.testErrors;
        } else {
            Abandon(*place, out);
        }
        return;
    }
    std::vector<std::uint8_t> chunk(kStreamChunk);
    std::vector<std::uint8_t> converted;
    LineEnds lineEnds;
    const bool convert = !testing && p.text && options_.ConvertCRToCRLF != 0;
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::string problem;
    bool cutShort = false;
    int writeError = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(f, chunk.data(), chunk.size());
        if (n < 0) {
            cutShort = archive_.File().Shrunk();
            problem = std::string("the data cannot be read (") +
                      zip_error_strerror(zip_file_get_error(f)) +
                      (p.encrypted ? "; a wrong password gives this too)" : ")");
            break;
        }
        if (n == 0) {
            break;
        }
        std::size_t size = static_cast<std::size_t>(n);
        if (total + size > e.size) {
            problem = "the data is longer than the declared size of " + std::to_string(e.size) +
                      " bytes (damaged, or built to blow up)";
            break;
        }
        total += size;
        crc = static_cast<std::uint32_t>(libdeflate_crc32(crc, chunk.data(), size));
        if (!testing &&
            !WriteData(out.fd, chunk.data(), size, convert ? &lineEnds : nullptr, converted)) {
            writeError = errno;
            break;
        }
    }
    zip_fclose(f);
    const bool aesWithoutCrc = p.encrypted && e.method == 99 && e.crc == 0;
    if (problem.empty() && writeError == 0) {
        if (total != e.size) {
            cutShort = archive_.File().Shrunk();
            problem =
                "the data ends before the declared size of " + std::to_string(e.size) + " bytes";
        } else if (crc != e.crc && !aesWithoutCrc) {
            char crcs[64];
            std::snprintf(crcs, sizeof crcs, "bad CRC (CRC %08x, should be %08x)", crc, e.crc);
            problem = std::string(crcs) + (p.encrypted ? ", or a wrong password" : "");
        }
    }
    if (!testing && (writeError != 0 || !problem.empty())) {
        Abandon(*place, out);
    }
    if (cutShort) {
        report_.ArchiveChanged(shown, archive_.Path());
        report_.testErrors += testing ? 1 : 0;
    } else if (testing) {
        if (!problem.empty()) {
            ++report_.testErrors;
            report_.Fail(BQUZP_ERR, "    testing: " + shown + "   " + problem);
        } else {
            report_.Say(Severity::Info, "    testing: " + shown + "   OK");
        }
    } else if (writeError != 0) {
        report_.WriteError("cannot write " + Report::Shown(place->relative), writeError);
    } else if (!problem.empty()) {
        report_.Fail(BQUZP_ERR, "  error: " + shown + ": " + problem +
                                    "; the file was not written; get an undamaged copy of the "
                                    "archive");
    } else {
        Finish(i, *place, out);
    }
}

}  // namespace bq::unzipengine
