// One engine call, step by step (see Engine.h).
#include "Engine.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

namespace bq::unzipengine {

namespace {
// Entries up to this size are read and inflated whole in memory by the workers; larger ones,
// encrypted ones and other methods are streamed through libzip's own decoders.
constexpr std::uint64_t kWholeEntryLimit = 64u << 20;
// How much memory the entries read ahead of the writer may hold.
constexpr std::size_t kReadAheadBytes = 32u << 20;

std::vector<std::string> NameTable(const char* const* table, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count && table[i] != nullptr && table[i][0] != '\0'; ++i) {
        names.emplace_back(table[i]);
        std::replace(names.back().begin(), names.back().end(), '\\', '/');
    }
    return names;
}
}  // namespace

Engine::Engine(const char* const* include, int includeCount, const char* const* exclude,
               int excludeCount, const UzpOptions& options, const UzpCallbacks& callbacks)
    : options_(options),
      report_(options, callbacks),
      includes_(NameTable(include, includeCount)),
      excludes_(NameTable(exclude, excludeCount)),
      includeMatched_(includes_.size(), false),
      passwords_(archive_, report_) {}

Engine::~Engine() {
    if (pool_) {
        pool_->Stop();  // before the jobs go, whatever way the call ends
    }
}

int Engine::Run() {
    if (options_.ZipFile == nullptr || options_.ZipFile[0] == '\0') {
        report_.Fail(BQUZP_PARAM, "error: no archive was named; give the path of a ZIP archive");
        return report_.Result();
    }
    if (!archive_.Open(options_.ZipFile, report_)) {
        return report_.Result();
    }
    const std::string shownArchive = Report::Shown(archive_.Path());
    plan_ = PlanEntries(archive_, options_, includes_, excludes_, includeMatched_);
    for (std::size_t k = 0; k < includes_.size(); ++k) {
        if (!includeMatched_[k]) {
            report_.Fail(BQUZP_FIND, "caution: no entry of " + shownArchive + " matches " +
                                         Report::Shown(includes_[k]) + "; check the name");
        }
    }
    if (plan_.empty()) {
        report_.Fail(BQUZP_WARN, "warning: " + shownArchive + " holds no entry");
        return report_.Result();
    }
    if (options_.ListOnly != 0) {
        List();
        return report_.Result();
    }
    std::vector<std::string> names(plan_.size());
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        names[i] = plan_[i].name.shown;
    }
    if (!archive_.CheckOverlaps(names, report_)) {
        return report_.Result();
    }
    Process();
    if (report_.tried > 0 && report_.badPassword == report_.tried) {
        report_.Raise(BQUZP_BADPWD);
    } else if (report_.tried > 0 && report_.unsupported == report_.tried) {
        report_.Raise(BQUZP_UNSUP);
    }
    if (Testing()) {
        if (report_.testErrors == 0 && report_.Result() == BQUZP_OK) {
            report_.Say(Severity::Info,
                        "No errors detected in compressed data of " + shownArchive + ".");
        } else if (report_.testErrors > 0) {
            report_.Say(Severity::Warning, std::to_string(report_.testErrors) +
                                               " error(s) found in " + shownArchive +
                                               "; get an undamaged copy");
        }
    }
    return report_.Result();
}

void Engine::List() {
    const UzpEntryInfoCallback entryInfo = report_.Callbacks().EntryInfo;
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const Planned& p = plan_[i];
        if (!p.selected) {
            continue;
        }
        if (!archive_.Readable(i)) {
            const Refusal refusal = RefusalOf(archive_, i, p);
            report_.Fail(refusal.code, refusal.text);
            continue;
        }
        if (entryInfo == nullptr) {
            continue;
        }
        const CentralEntry& e = archive_.Entry(i);
        std::tm tm{};
        const std::time_t t = p.mtime;
        localtime_r(&t, &tm);
        const std::uint64_t ratio =
            e.size == 0
                ? 0
                : std::min<std::uint64_t>((e.packedSize * 100 + e.size / 2) / e.size, 32767);
        const std::int32_t size =
            static_cast<std::int32_t>(std::min<std::uint64_t>(e.size, INT32_MAX));
        const std::string method = MethodName(p.method, e.flags);
        entryInfo(e.packedSize, size, static_cast<std::int32_t>(ratio),
                  static_cast<std::uint32_t>(tm.tm_mon + 1), static_cast<std::uint32_t>(tm.tm_mday),
                  static_cast<std::uint32_t>(tm.tm_year + 1900),
                  static_cast<std::uint32_t>(tm.tm_hour), static_cast<std::uint32_t>(tm.tm_min), 0,
                  p.name.shown.c_str(), method.c_str(), e.crc, p.encrypted ? 'E' : ' ');
    }
}

void Engine::ReadAhead() {
    while (readNext_ < plan_.size() && !report_.stop) {
        const Planned& p = plan_[readNext_];
        if (!p.wholeInMemory) {
            ++readNext_;
            continue;
        }
        const CentralEntry& e = archive_.Entry(readNext_);
        auto job = std::make_unique<InflateJob>();
        job->index = readNext_;
        job->method = p.method;
        job->size = e.size;
        job->crc = e.crc;
        // The raw data's range was checked against the file's size and every other entry's
        // data when the local headers were read.
        job->file = &archive_.File();
        job->dataOffset = archive_.Local(readNext_).dataOffset;
        job->packedSize = static_cast<std::size_t>(e.packedSize);
        const std::size_t cost = job->Cost();
        if (readAheadBytes_ > 0 && readAheadBytes_ + cost > kReadAheadBytes) {
            return;  // the writer catches up first (an entry larger than that goes alone)
        }
        if (!buffer_) {
            buffer_ = std::make_unique<ReadAheadBuffer>(kReadAheadBytes);
        }
        if (buffer_->Usable() && !job->StoredSizesDisagree() && cost <= kReadAheadBytes) {
            job->memory = buffer_->Take(cost);
            if (job->memory == nullptr && readAheadBytes_ > 0) {
                return;  // no room in one piece yet: the writer catches up first
            }
        }
        job->lent = job->memory != nullptr;
        readAheadBytes_ += cost;
        if (!pool_) {
            // One core is the calling thread's (writing, and inflating what it waits for).
            const unsigned hw = std::thread::hardware_concurrency();
            pool_ = std::make_unique<InflatePool>(std::clamp(hw, 2u, 9u) - 1);
        }
        pool_->Submit(job.get());
        jobs_[readNext_] = std::move(job);
        ++readNext_;
    }
}

const InflateJob* Engine::Ready(std::size_t i) {
    InflateJob& job = *jobs_[i];
    if (pool_) {
        pool_->Wait(&job);
    }
    if (job.outcome == InflateJob::Outcome::Ok) {
        return &job;
    }
    const std::string shown = Report::Shown(plan_[i].name.shown);
    if (job.outcome == InflateJob::Outcome::ReadFailed) {
        report_.ArchiveChanged(shown, archive_.Path());
    } else {
        report_.JobFailed(shown, job, Testing());
    }
    report_.testErrors += Testing() ? 1 : 0;
    return nullptr;
}

void Engine::Process() {
    const bool testing = Testing();
    if (!testing) {
        const std::string path =
            options_.UnzipFolder == nullptr ? std::string() : std::string(options_.UnzipFolder);
        if (!target_.Open(path)) {
            const int error = errno;
            report_.Fail(BQUZP_DISK, "error: cannot make or open the folder to extract into, " +
                                         Report::Shown(path.empty() ? "." : path) + ": " +
                                         std::strerror(error) +
                                         "; choose a folder you can write to");
            return;
        }
    }
    writer_ =
        std::make_unique<EntryWriter>(options_, archive_, plan_, target_, passwords_, report_);
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        Planned& p = plan_[i];
        const CentralEntry& e = archive_.Entry(i);
        p.wholeInMemory = p.selected && p.kind != Kind::Folder && archive_.Readable(i) &&
                          archive_.Local(i).ok &&
                          (testing || RefusalOf(archive_, i, p).code == BQUZP_OK) && !p.encrypted &&
                          (p.method == 0 || p.method == 8) &&
                          (p.method == 0 ? e.packedSize : e.size) <= kWholeEntryLimit;
    }
    jobs_.resize(plan_.size());
    for (std::size_t i = 0; i < plan_.size() && !report_.stop; ++i) {
        ReadAhead();
        ProcessEntry(i);
        if (jobs_[i]) {
            // The entry may have been given up before its data was needed (a folder in the
            // way, say): a worker may still hold the job.
            if (pool_) {
                pool_->Wait(jobs_[i].get());
            }
            readAheadBytes_ -= std::min(jobs_[i]->Cost(), readAheadBytes_);
            if (jobs_[i]->lent) {
                buffer_->GiveBack(jobs_[i]->memory);
            }
            jobs_[i].reset();
        }
    }
    if (pool_) {
        pool_->Stop();
    }
    jobs_.clear();
    if (!testing) {
        target_.Finish();
    }
}

bool Engine::Admit(std::size_t i) {
    const Planned& p = plan_[i];
    const Refusal refusal = RefusalOf(archive_, i, p);
    // Testing writes nothing, so only a record libzip cannot read keeps an entry from it.
    if (refusal.code != BQUZP_OK && (!Testing() || !archive_.Readable(i))) {
        report_.Fail(refusal.code, refusal.text);
        return false;
    }
    return report_.MayGoOn(p.name.shown);
}

bool Engine::OpenFolder(std::size_t i, const std::string& relative, int& folder) {
    std::string failed;
    folder = target_.Folder(relative, failed);
    if (folder >= 0) {
        return true;
    }
    const int error = errno;
    const std::string shown = Report::Shown(plan_[i].name.shown);
    if (error == ENOTDIR) {
        report_.Fail(BQUZP_ERR, "  skipping: " + shown + ": " + Report::Shown(failed) +
                                    " is a file or a link, not a folder, so nothing can be "
                                    "written in it; remove it from the target folder or extract "
                                    "elsewhere");
    } else {
        report_.WriteError("cannot make the folder " + Report::Shown(failed) + " for " + shown,
                           error);
    }
    return false;
}

void Engine::ProcessEntry(std::size_t i) {
    Planned& p = plan_[i];
    if (!p.selected) {
        return;
    }
    const bool testing = Testing();
    if (p.kind == Kind::Folder) {
        if (!testing) {
            ProcessFolder(i);
        }
        return;
    }
    if (!Admit(i)) {
        return;
    }
    const std::string shown = Report::Shown(p.name.shown);
    if (!testing && p.kind == Kind::Special) {
        // Its data (if any) becomes an ordinary file; a device or FIFO is never made.
        report_.Fail(BQUZP_WARN, "warning: " + shown +
                                     " is marked as a device, FIFO or socket; it is written as "
                                     "an ordinary file");
    }
    ++report_.tried;
    if (!archive_.Local(i).ok) {
        report_.Fail(BQUZP_ERR, "  skipping: " + shown + ": " + archive_.Local(i).problem +
                                    "; get an undamaged copy of the archive");
        return;
    }
    if (testing) {
        if (!p.wholeInMemory || !jobs_[i]) {
            writer_->Stream(i, nullptr);
        } else if (Ready(i) != nullptr) {
            report_.Say(Severity::Info, "    testing: " + shown + "   OK");
        }
        return;
    }
    Place place;
    place.relative =
        options_.UseFolderNames != 0 ? p.name.relative : std::string(LastPart(p.name.relative));
    if (options_.SpaceToUnderScore != 0) {
        std::replace(place.relative.begin(), place.relative.end(), ' ', '_');
    }
    const std::size_t slash = place.relative.rfind('/');
    place.leaf = slash == std::string::npos ? place.relative : place.relative.substr(slash + 1);
    if (!OpenFolder(i, slash == std::string::npos ? std::string() : place.relative.substr(0, slash),
                    place.folder)) {
        return;
    }
    if (!p.wholeInMemory || !jobs_[i]) {
        writer_->Stream(i, &place);
    } else if (const InflateJob* job = Ready(i)) {
        writer_->WriteWhole(i, place, *job);
    }
}

void Engine::ProcessFolder(std::size_t i) {
    const Planned& p = plan_[i];
    if (options_.UseFolderNames == 0 || !Admit(i)) {
        return;
    }
    std::string relative = p.name.relative;
    if (options_.SpaceToUnderScore != 0) {
        std::replace(relative.begin(), relative.end(), ' ', '_');
    }
    const bool existed = target_.MadeByThisCall(relative);
    int folder = -1;
    if (!OpenFolder(i, relative, folder)) {
        return;
    }
    if (!existed && target_.MadeByThisCall(relative)) {
        report_.Say(Severity::Info, "   creating: " + Report::Shown(p.name.shown));
    }
    // Only a folder this call made takes the entry's bits and time: one that was there before
    // stays as it was.
    if (target_.MadeByThisCall(relative)) {
        target_.RememberFolder(relative, p.unixMode ? (p.permissions | S_IRWXU) : 0, p.unixMode,
                               p.mtime);
    }
}

}  // namespace bq::unzipengine
