// The unzip engine: lists, tests or extracts one ZIP archive per call, with libzip reading the
// archive's structure and libdeflate inflating entries on worker threads, while the calling
// thread makes every callback (in entry order) and every file-system call.

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CentralDirectory.h"
#include "InflatePool.h"
#include "Names.h"
#include "TargetFolder.h"
#include "unzip_engine.h"

namespace bq::unzipengine {
namespace {

constexpr unsigned char kVersionMajor = 1;
constexpr unsigned char kVersionMinor = 0;
constexpr unsigned char kVersionRevision = 0;

// Entries up to this size are inflated whole in memory by the workers;
// larger ones, encrypted ones and other methods are streamed through libzip's own decoders.
constexpr std::uint64_t kWholeEntryLimit = 64u << 20;
// How much inflated data may wait ahead of the writer.
constexpr std::size_t kReadAheadBytes = 64u << 20;
constexpr std::size_t kStreamChunk = 1u << 20;
constexpr std::size_t kMaxMessage = 1023;

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
    bool wholeInMemory = false;
    std::time_t mtime = 0;
    std::uint16_t method = 0;  // the real method (AES entries report the inner one)
    LocalHeader local;
};

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

// DOS times are local times. mktime looks at the time zone file on every call, so the start of
// each hour met is worked out once (summer time changes on whole hours).
class DosTimes {
  public:
    std::time_t Convert(std::uint16_t date, std::uint16_t time) {
        const std::uint32_t hourKey = (std::uint32_t{date} << 5) | ((time >> 11) & 0x1F);
        auto it = hours_.find(hourKey);
        if (it == hours_.end()) {
            std::tm tm{};
            tm.tm_year = ((date >> 9) & 0x7F) + 80;
            tm.tm_mon = std::max(((date >> 5) & 0x0F) - 1, 0);
            tm.tm_mday = std::max(date & 0x1F, 1);
            tm.tm_hour = (time >> 11) & 0x1F;
            tm.tm_isdst = -1;
            std::time_t t = std::mktime(&tm);
            it = hours_.emplace(hourKey, t == static_cast<std::time_t>(-1) ? 0 : t).first;
        }
        return it->second + ((time >> 5) & 0x3F) * 60 + (time & 0x1F) * 2;
    }

  private:
    std::unordered_map<std::uint32_t, std::time_t> hours_;
};

std::string MethodName(std::uint16_t method, std::uint16_t flags) {
    switch (method) {
        case 0:
            return "Stored";
        case 1:
            return "Shrunk";
        case 2:
        case 3:
        case 4:
        case 5:
            return "Reduce" + std::to_string(method - 1);
        case 6:
            return "Implode";
        case 7:
            return "Token";
        case 8: {
            static const char* const kLevels[] = {"Defl:N", "Defl:X", "Defl:F", "Defl:S"};
            return kLevels[(flags >> 1) & 3];
        }
        case 9:
            return "Defl64";
        case 10:
            return "ImplDCL";
        case 12:
            return "BZip2";
        case 14:
            return "LZMA";
        case 93:
            return "Zstd";
        case 95:
            return "XZ";
        case 96:
            return "Jpeg";
        case 97:
            return "Wavpack";
        case 98:
            return "PPMd";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "Unk:%03u", static_cast<unsigned>(method % 1000));
            return buf;
        }
    }
}

bool DiskIsFull(int error) {
    return error == ENOSPC || error == EDQUOT || error == EROFS;
}

class Engine {
  public:
    Engine(const char* const* include, int includeCount, const char* const* exclude,
           int excludeCount, const UzpOptions& options, const UzpCallbacks& callbacks)
        : options_(options), callbacks_(callbacks) {
        for (int i = 0; i < includeCount && include[i] != nullptr && include[i][0] != '\0'; ++i) {
            includes_.emplace_back(include[i]);
        }
        for (int i = 0; i < excludeCount && exclude[i] != nullptr && exclude[i][0] != '\0'; ++i) {
            excludes_.emplace_back(exclude[i]);
        }
        for (std::string& p : includes_) {
            std::replace(p.begin(), p.end(), '\\', '/');
        }
        for (std::string& p : excludes_) {
            std::replace(p.begin(), p.end(), '\\', '/');
        }
        includeMatched_.assign(includes_.size(), false);
    }

    ~Engine() {
        if (pool_) {
            pool_->Stop();  // before the jobs go, whatever way the call ends
        }
        if (archive_ != nullptr) {
            zip_discard(archive_);
        }
        if (map_ != nullptr) {
            ::munmap(map_, mapSize_);
        }
    }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    int Run();

  private:
    // ---- messages and results
    enum class Severity { Info, Warning, Error };

    void Say(Severity severity, const std::string& text) {
        if (callbacks_.Print == nullptr) {
            return;
        }
        const int level = std::max(options_.MessageLevel, 0);
        if ((severity == Severity::Info && level > 0) ||
            (severity == Severity::Warning && level > 1)) {
            return;
        }
        std::string line = text;
        std::replace(line.begin(), line.end(), '\0', '?');
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (line.size() > kMaxMessage - 1) {
            line = Shorten(line, kMaxMessage - 1);
        }
        if (line.empty()) {
            line = "?";
        }
        line += '\n';
        callbacks_.Print(line.c_str(), static_cast<std::uint32_t>(line.size()));
    }

    void Fail(int code, const std::string& text) {
        Raise(code);
        Say(code == BQUZP_WARN ? Severity::Warning : Severity::Error, text);
    }

    void Raise(int code) { result_ = std::max(result_, code); }

    // A name as a message shows it: at most 400 bytes, valid UTF-8.
    static std::string Shown(std::string_view name) {
        return IsValidUtf8(name) ? Shorten(name, 400) : std::string("(a name that is not UTF-8)");
    }

    // ---- steps
    bool OpenArchive();
    void PlanEntries();
    bool CheckOverlaps();
    void List();
    void Process();
    void ProcessEntry(std::size_t i);
    void ProcessFolder(std::size_t i);
    void ReadAhead();
    void WriteWhole(std::size_t i, const std::string& outRel, int folder, const char* leaf,
                    InflateJob& job);
    void Stream(std::size_t i, const std::string& outRel, int folder, const char* leaf);
    zip_file_t* OpenWithPassword(std::size_t i, bool& skipped);

    enum class Existing { Create, Replace, Keep, Blocked };
    Existing Decide(std::size_t i, int folder, const char* leaf, const std::string& outRel);
    // Sets the entry's permission bits (when the file was made under another mode, or the umask
    // took some away) and its time, and closes fd.
    bool FinishFile(std::size_t i, int fd, const std::string& outRel, bool madeAsTemporary);
    mode_t FinalMode(std::size_t i) const;
    void ReportWriteError(const std::string& what, const std::string& outRel, int error);
    void ReportJob(std::size_t i, const InflateJob& job);
    void Done(std::size_t i, const std::string& shown);

    bool Testing() const { return options_.TestZip != 0; }

    const UzpOptions& options_;
    const UzpCallbacks& callbacks_;
    std::vector<std::string> includes_;
    std::vector<std::string> excludes_;
    std::vector<bool> includeMatched_;
    int result_ = BQUZP_OK;

    std::string archivePath_;
    void* map_ = nullptr;
    std::size_t mapSize_ = 0;
    zip_t* archive_ = nullptr;
    CentralDirectory directory_;
    std::vector<zip_stat_t> stats_;  // libzip's view of each entry
    DosTimes dosTimes_;
    std::vector<Planned> plan_;
    mode_t umask_ = 0777;

    TargetFolder target_;
    std::unique_ptr<InflatePool> pool_;
    std::vector<std::unique_ptr<InflateJob>> jobs_;  // by entry index, while in flight
    std::size_t readNext_ = 0;
    std::size_t readAheadBytes_ = 0;
    bool stop_ = false;
    bool replaceAll_ = false;
    bool replaceNone_ = false;

    std::string password_;
    bool havePassword_ = false;
    std::size_t tried_ = 0;        // selected file entries whose data was attempted
    std::size_t badPassword_ = 0;  // ... skipped for a refused or wrong password
    std::size_t unsupported_ = 0;  // ... skipped for an unsupported method or encryption
    std::size_t testErrors_ = 0;
    std::uint64_t tempCounter_ = 0;
};

bool Engine::OpenArchive() {
    if (options_.ZipFile == nullptr || options_.ZipFile[0] == '\0') {
        Fail(BQUZP_PARAM, "error: no archive was named; give the path of a ZIP archive");
        return false;
    }
    archivePath_ = options_.ZipFile;
    // O_NONBLOCK: a FIFO given as the archive is refused below instead of blocking here.
    const int fd = ::open(archivePath_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        if (fd >= 0) {
            ::close(fd);
        }
        Fail(BQUZP_NOZIP, "error: cannot open the archive " + Shown(archivePath_) + ": " +
                              (error == EINVAL ? std::string("not a regular file")
                                               : std::string(std::strerror(error))) +
                              "; check that the file exists and is readable");
        return false;
    }
    mapSize_ = static_cast<std::size_t>(st.st_size);
    if (mapSize_ > 0) {
        map_ = ::mmap(nullptr, mapSize_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map_ == MAP_FAILED) {
            map_ = nullptr;
        }
    }
    ::close(fd);
    if (map_ == nullptr) {
        Fail(BQUZP_NOZIP, "error: " + Shown(archivePath_) +
                              " is empty or cannot be read, so it is not a ZIP archive; get a "
                              "complete copy of the archive");
        return false;
    }
    ::madvise(map_, mapSize_, MADV_WILLNEED);
    const auto* bytes = static_cast<const std::uint8_t*>(map_);
    std::string problem;
    if (!ReadCentralDirectory(bytes, mapSize_, directory_, problem)) {
        Fail(BQUZP_NOZIP, "error: " + Shown(archivePath_) + " cannot be read as a ZIP archive: " +
                              problem + "; get a complete, undamaged copy of the archive");
        return false;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(map_, mapSize_, 0, &error);
    if (source != nullptr) {
        archive_ = zip_open_from_source(source, ZIP_RDONLY, &error);
        if (archive_ == nullptr) {
            zip_source_free(source);
        }
    }
    if (archive_ == nullptr) {
        const int code = zip_error_code_zip(&error) == ZIP_ER_MEMORY  ? BQUZP_MEM
                         : zip_error_code_zip(&error) == ZIP_ER_NOZIP ? BQUZP_NOZIP
                                                                      : BQUZP_BADERR;
        Fail(code, "error: " + Shown(archivePath_) +
                       " cannot be read as a ZIP archive: " + zip_error_strerror(&error) +
                       "; get a complete, undamaged copy of the archive");
        zip_error_fini(&error);
        return false;
    }
    zip_error_fini(&error);
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    bool consistent = count >= 0 && static_cast<std::uint64_t>(count) == directory_.entries.size();
    stats_.resize(consistent ? directory_.entries.size() : 0);
    for (std::size_t i = 0; consistent && i < directory_.entries.size(); ++i) {
        zip_stat_t& zs = stats_[i];
        zip_stat_init(&zs);
        const CentralEntry& e = directory_.entries[i];
        consistent = zip_stat_index(archive_, i, 0, &zs) == 0 && zs.size == e.size &&
                     zs.comp_size == e.packedSize;
    }
    if (!consistent) {
        Fail(BQUZP_BADERR, "error: " + Shown(archivePath_) +
                               " has a central directory that can be read in two ways (a damaged "
                               "or deliberately ambiguous archive); nothing was extracted");
        return false;
    }
    return true;
}

void Engine::PlanEntries() {
    const bool caseSensitive = options_.CaseSensitiveFileNames != 0;
    const std::string targetPath =
        options_.UnzipFolder == nullptr || options_.UnzipFolder[0] == '\0' ? "."
                                                                           : options_.UnzipFolder;
    std::unordered_set<std::string> files;
    plan_.resize(directory_.entries.size());
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const CentralEntry& e = directory_.entries[i];
        Planned& p = plan_[i];
        const char* name = zip_get_name(archive_, i, 0);
        // libzip gives the name as UTF-8 (from the Unicode path field, or CP437 converted when
        // the name is not marked as UTF-8); a name with a zero byte is cut there by libzip, so
        // the raw name decides that.
        p.name = ParseEntryName(name != nullptr ? std::string_view(name) : e.rawName);
        if (e.rawName.find('\0') != std::string_view::npos) {
            p.name.problem = NameProblem::ZeroByte;
            p.name.relative.clear();
        }
        bool selected = includes_.empty();
        for (std::size_t k = 0; k < includes_.size(); ++k) {
            if (WildcardMatch(includes_[k], p.name.shown, caseSensitive)) {
                selected = true;
                includeMatched_[k] = true;
            }
        }
        for (const std::string& x : excludes_) {
            if (selected && WildcardMatch(x, p.name.shown, caseSensitive)) {
                selected = false;
            }
        }
        p.selected = selected;
        p.method = e.method;
        if ((stats_[i].valid & ZIP_STAT_COMP_METHOD) != 0) {
            p.method = stats_[i].comp_method;
        }
        p.encrypted = (e.flags & 1) != 0 || e.method == 99;
        p.mtime = e.hasUnixTime ? static_cast<std::time_t>(e.unixTime)
                                : dosTimes_.Convert(e.dosDate, e.dosTime);
        p.text = (e.internalAttributes & 1) != 0;
        const unsigned host = e.madeBy >> 8;
        const std::uint32_t unixBits = e.externalAttributes >> 16;
        p.kind = p.name.folder ? Kind::Folder : Kind::File;
        if (host == 3 && unixBits != 0) {
            p.unixMode = true;
            p.permissions = static_cast<mode_t>(unixBits & 0777);
            const std::uint32_t type = unixBits & S_IFMT;
            if (!p.name.folder && type == S_IFLNK) {
                p.kind = Kind::Link;
            } else if (!p.name.folder && type != 0 && type != S_IFREG && type != S_IFDIR) {
                p.kind = Kind::Special;
            }
        } else {
            p.readOnly = (e.externalAttributes & 1) != 0;
        }
        if (!selected || p.name.problem != NameProblem::None) {
            continue;
        }
        if (targetPath.size() + 1 + p.name.relative.size() + 32 >= PATH_MAX) {
            p.pathTooLong = true;
            continue;
        }
        if (p.kind != Kind::Folder && !files.insert(p.name.relative).second) {
            p.duplicate = true;
        }
    }
}

bool Engine::CheckOverlaps() {
    struct Range {
        std::uint64_t begin;
        std::uint64_t end;
        std::size_t index;
    };
    std::vector<Range> ranges;
    ranges.reserve(plan_.size());
    const auto* bytes = static_cast<const std::uint8_t*>(map_);
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const CentralEntry& e = directory_.entries[i];
        plan_[i].local = ReadLocalHeader(bytes, mapSize_, e);
        if (plan_[i].local.located) {
            ranges.push_back({e.localOffset, plan_[i].local.dataOffset + e.packedSize, i});
        }
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        const bool overlapsNext = k + 1 < ranges.size() && ranges[k + 1].begin < ranges[k].end;
        const bool overlapsDirectory = ranges[k].end > directory_.offset;
        if (overlapsNext || overlapsDirectory) {
            const std::string& a = plan_[ranges[k].index].name.shown;
            const std::string other =
                overlapsNext ? plan_[ranges[k + 1].index].name.shown : "the central directory";
            Fail(BQUZP_BADERR, "error: " + Shown(archivePath_) + ": the data of " + Shown(a) +
                                   " overlaps " + Shown(other) +
                                   " (an archive built to blow up when unpacked, or a damaged "
                                   "one); nothing was extracted");
            return false;
        }
    }
    return true;
}

void Engine::List() {
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const Planned& p = plan_[i];
        if (!p.selected || callbacks_.EntryInfo == nullptr) {
            continue;
        }
        const CentralEntry& e = directory_.entries[i];
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
        callbacks_.EntryInfo(
            e.packedSize, size, static_cast<std::int32_t>(ratio),
            static_cast<std::uint32_t>(tm.tm_mon + 1), static_cast<std::uint32_t>(tm.tm_mday),
            static_cast<std::uint32_t>(tm.tm_year + 1900), static_cast<std::uint32_t>(tm.tm_hour),
            static_cast<std::uint32_t>(tm.tm_min), 0, p.name.shown.c_str(), method.c_str(), e.crc,
            p.encrypted ? 'E' : ' ');
    }
}

void Engine::ReadAhead() {
    while (readNext_ < plan_.size() && !stop_) {
        const Planned& p = plan_[readNext_];
        if (!p.wholeInMemory) {
            ++readNext_;
            continue;
        }
        const CentralEntry& e = directory_.entries[readNext_];
        auto job = std::make_unique<InflateJob>();
        job->index = readNext_;
        job->method = p.method;
        job->size = e.size;
        job->crc = e.crc;
        // The raw data straight from the mapped archive: its range was checked against the
        // file's size and every other entry's data when the local headers were read.
        job->packed = static_cast<const std::uint8_t*>(map_) + p.local.dataOffset;
        job->packedSize = static_cast<std::size_t>(e.packedSize);
        const std::size_t cost = job->Cost();
        if (readAheadBytes_ > 0 && readAheadBytes_ + cost > kReadAheadBytes) {
            return;  // the writer catches up first (an entry larger than that goes alone)
        }
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

void Engine::Process() {
    const bool testing = Testing();
    if (!testing) {
        const std::string path =
            options_.UnzipFolder == nullptr ? std::string() : std::string(options_.UnzipFolder);
        if (!target_.Open(path)) {
            const int error = errno;
            Fail(BQUZP_DISK, "error: cannot make or open the folder to extract into, " +
                                 Shown(path.empty() ? "." : path) + ": " + std::strerror(error) +
                                 "; choose a folder you can write to");
            return;
        }
    }
    umask_ = CurrentUmask();
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        Planned& p = plan_[i];
        const CentralEntry& e = directory_.entries[i];
        p.wholeInMemory = p.selected && p.kind != Kind::Folder && p.local.ok &&
                          (testing || (p.name.problem == NameProblem::None && !p.duplicate &&
                                       !p.pathTooLong && p.kind != Kind::Link)) &&
                          !p.encrypted && (p.method == 0 || p.method == 8) &&
                          (p.method == 0 ? e.packedSize : e.size) <= kWholeEntryLimit;
    }
    jobs_.resize(plan_.size());
    for (std::size_t i = 0; i < plan_.size() && !stop_; ++i) {
        ReadAhead();
        ProcessEntry(i);
        if (jobs_[i]) {
            // The entry may have been given up before its data was needed (a folder in the
            // way, say): a worker may still hold the job.
            if (pool_) {
                pool_->Wait(jobs_[i].get());
            }
            readAheadBytes_ -=
                jobs_[i]->Cost() > readAheadBytes_ ? readAheadBytes_ : jobs_[i]->Cost();
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

void Engine::ProcessEntry(std::size_t i) {
    Planned& p = plan_[i];
    if (!p.selected) {
        return;
    }
    const std::string shown = Shown(p.name.shown);
    const bool testing = Testing();
    if (p.kind == Kind::Folder) {
        if (!testing) {
            ProcessFolder(i);
        }
        return;
    }
    if (!testing) {
        if (p.name.problem != NameProblem::None) {
            Fail(BQUZP_ERR, "  skipping: " + shown + ": the name " +
                                DescribeNameProblem(p.name.problem) +
                                ", so it is not written (a damaged or hostile archive)");
            return;
        }
        if (p.pathTooLong) {
            Fail(BQUZP_ERR, "  skipping: " + shown +
                                ": the path is longer than the file system allows; extract into "
                                "a folder with a shorter path");
            return;
        }
        if (p.duplicate) {
            Fail(BQUZP_ERR, "  skipping: " + shown +
                                ": the archive holds this name more than once; only the first is "
                                "extracted (a damaged or hostile archive)");
            return;
        }
        if (p.kind == Kind::Link) {
            Fail(BQUZP_WARN, "  skipping: " + shown +
                                 ": symbolic links are never extracted (the link is left out)");
            return;
        }
        if (p.kind == Kind::Special) {
            // Its data (if any) becomes an ordinary file; a device or FIFO is never made.
            Fail(BQUZP_WARN, "warning: " + shown +
                                 " is marked as a device, FIFO or socket; it is written as an "
                                 "ordinary file");
        }
    }
    if (callbacks_.Service != nullptr) {
        const std::string& text = p.name.shown;
        if (callbacks_.Service(text.c_str(), static_cast<std::uint32_t>(text.size() + 1)) == 1) {
            stop_ = true;
            Fail(BQUZP_CTRLC, "stopped: the extraction was cancelled before " + shown +
                                  "; the entries from there on were not written");
            return;
        }
    }
    ++tried_;
    if (!p.local.ok) {
        Fail(BQUZP_ERR, "  skipping: " + shown + ": " + p.local.problem +
                            "; get an undamaged copy of the archive");
        return;
    }
    if (testing) {
        if (p.wholeInMemory && jobs_[i]) {
            InflateJob& job = *jobs_[i];
            if (pool_) {
                pool_->Wait(&job);
            }
            if (job.outcome != InflateJob::Outcome::Ok) {
                ++testErrors_;
                ReportJob(i, job);
                return;
            }
            Say(Severity::Info, "    testing: " + shown + "   OK");
        } else {
            Stream(i, std::string(), -1, nullptr);
        }
        return;
    }
    std::string outRel =
        options_.UseFolderNames != 0 ? p.name.relative : std::string(LastPart(p.name.relative));
    if (options_.SpaceToUnderScore != 0) {
        std::replace(outRel.begin(), outRel.end(), ' ', '_');
    }
    const std::size_t slash = outRel.rfind('/');
    const std::string folderRel =
        slash == std::string::npos ? std::string() : outRel.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? outRel : outRel.substr(slash + 1);
    std::string failed;
    const int folder = target_.Folder(folderRel, failed);
    if (folder < 0) {
        const int error = errno;
        if (error == ENOTDIR) {
            Fail(BQUZP_ERR, "  skipping: " + shown + ": " + Shown(failed) +
                                " is a file or a link, not a folder, so nothing can be written "
                                "in it; remove it from the target folder or extract elsewhere");
        } else {
            ReportWriteError("cannot make the folder " + Shown(failed) + " for " + shown, failed,
                             error);
        }
        return;
    }
    if (p.wholeInMemory && jobs_[i]) {
        InflateJob& job = *jobs_[i];
        if (pool_) {
            pool_->Wait(&job);
        }
        if (job.outcome != InflateJob::Outcome::Ok) {
            ReportJob(i, job);
            return;
        }
        WriteWhole(i, outRel, folder, leaf.c_str(), job);
    } else {
        Stream(i, outRel, folder, leaf.c_str());
    }
}

void Engine::ProcessFolder(std::size_t i) {
    Planned& p = plan_[i];
    if (options_.UseFolderNames == 0) {
        return;
    }
    const std::string shown = Shown(p.name.shown);
    if (p.name.problem != NameProblem::None) {
        Fail(BQUZP_ERR, "  skipping: " + shown + ": the name " +
                            DescribeNameProblem(p.name.problem) +
                            ", so the folder is not made (a damaged or hostile archive)");
        return;
    }
    if (p.pathTooLong) {
        Fail(BQUZP_ERR, "  skipping: " + shown +
                            ": the path is longer than the file system allows; extract into a "
                            "folder with a shorter path");
        return;
    }
    if (callbacks_.Service != nullptr) {
        const std::string& text = p.name.shown;
        if (callbacks_.Service(text.c_str(), static_cast<std::uint32_t>(text.size() + 1)) == 1) {
            stop_ = true;
            Fail(BQUZP_CTRLC, "stopped: the extraction was cancelled before " + shown +
                                  "; the entries from there on were not written");
            return;
        }
    }
    std::string outRel = p.name.relative;
    if (options_.SpaceToUnderScore != 0) {
        std::replace(outRel.begin(), outRel.end(), ' ', '_');
    }
    const bool existed = target_.MadeByThisCall(outRel);
    std::string failed;
    if (target_.Folder(outRel, failed) < 0) {
        const int error = errno;
        if (error == ENOTDIR) {
            Fail(BQUZP_ERR, "  skipping: " + shown + ": " + Shown(failed) +
                                " is a file or a link, not a folder; remove it from the target "
                                "folder or extract elsewhere");
        } else {
            ReportWriteError("cannot make the folder " + shown, failed, error);
        }
        return;
    }
    if (!existed && target_.MadeByThisCall(outRel)) {
        Say(Severity::Info, "   creating: " + shown);
    }
    target_.RememberFolder(outRel, p.unixMode ? (p.permissions | S_IRWXU) : 0, p.unixMode, p.mtime);
}

Engine::Existing Engine::Decide(std::size_t i, int folder, const char* leaf,
                                const std::string& outRel) {
    struct stat st {};
    if (::fstatat(folder, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? Existing::Create : Existing::Blocked;
    }
    const std::string shown = Shown(plan_[i].name.shown);
    if (S_ISDIR(st.st_mode)) {
        Fail(BQUZP_ERR,
             "  skipping: " + shown + ": a folder named " + Shown(outRel) +
                 " is in the way; remove it from the target folder or extract elsewhere");
        return Existing::Blocked;
    }
    if (options_.ExtractOnlyNewer != 0) {
        if (st.st_mtime >= plan_[i].mtime) {
            Say(Severity::Info, "  skipping: " + shown + ": the existing file is not older");
            return Existing::Keep;
        }
        return Existing::Replace;
    }
    if (options_.OverwriteExisting != 0 || replaceAll_) {
        return Existing::Replace;
    }
    if (options_.PromptToOverwrite != 0 && !replaceNone_ && callbacks_.Replace != nullptr) {
        const std::string full = target_.Path() + "/" + outRel;
        switch (callbacks_.Replace(full.c_str())) {
            case BQUZP_REPLACE_YES:
                return Existing::Replace;
            case BQUZP_REPLACE_ALL:
                replaceAll_ = true;
                return Existing::Replace;
            case BQUZP_REPLACE_NONE:
                replaceNone_ = true;
                break;
            default:
                break;
        }
    }
    Say(Severity::Info, "  skipping: " + shown + ": the file exists and is kept");
    return Existing::Keep;
}

void Engine::ReportWriteError(const std::string& what, const std::string& outRel, int error) {
    (void)outRel;
    if (DiskIsFull(error)) {
        stop_ = true;
        Fail(BQUZP_DISK, "error: " + what + ": " + std::strerror(error) +
                             "; free some space (or choose a writable folder) and extract again");
    } else {
        Fail(BQUZP_DISK, "error: " + what + ": " + std::strerror(error) +
                             "; check the target folder's permissions and free space");
    }
}

void Engine::ReportJob(std::size_t i, const InflateJob& job) {
    const Planned& p = plan_[i];
    const std::string shown = Shown(p.name.shown);
    const char* tail = Testing() ? "" : "; the file was not written";
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

mode_t Engine::FinalMode(std::size_t i) const {
    const Planned& p = plan_[i];
    if (p.unixMode) {
        return p.permissions;  // as stored, whatever the umask (as Info-ZIP does)
    }
    return (p.readOnly ? 0444 : 0666) & ~umask_;
}

bool Engine::FinishFile(std::size_t i, int fd, const std::string& outRel, bool madeAsTemporary) {
    const Planned& p = plan_[i];
    bool ok = true;
    int error = 0;
    if (madeAsTemporary || (p.unixMode && (p.permissions & umask_) != 0)) {
        if (::fchmod(fd, FinalMode(i)) != 0) {
            ok = false;
            error = errno;
        }
    }
    const struct timespec times[2] = {{p.mtime, 0}, {p.mtime, 0}};
    if (ok && ::futimens(fd, times) != 0) {
        ok = false;
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ReportWriteError("cannot finish " + Shown(outRel), outRel, error);
    }
    return ok;
}

void Engine::Done(std::size_t i, const std::string& shown) {
    Say(Severity::Info,
        std::string(plan_[i].method == 0 ? " extracting: " : "  inflating: ") + shown);
}

void Engine::WriteWhole(std::size_t i, const std::string& outRel, int folder, const char* leaf,
                        InflateJob& job) {
    const Planned& p = plan_[i];
    const mode_t mode = p.unixMode ? p.permissions : (p.readOnly ? 0444 : 0666);
    int fd = CreateFileIn(folder, leaf, mode);
    if (fd < 0 && errno == EEXIST) {
        switch (Decide(i, folder, leaf, outRel)) {
            case Existing::Keep:
            case Existing::Blocked:
                return;
            case Existing::Replace:
                if (::unlinkat(folder, leaf, 0) != 0 && errno != ENOENT) {
                    ReportWriteError("cannot replace " + Shown(outRel), outRel, errno);
                    return;
                }
                break;
            case Existing::Create:
                break;
        }
        fd = CreateFileIn(folder, leaf, mode);
    }
    if (fd < 0) {
        ReportWriteError("cannot create " + Shown(outRel), outRel, errno);
        return;
    }
    bool written;
    if (p.text && options_.ConvertCRToCRLF != 0) {
        std::vector<std::uint8_t> converted;
        LineEnds().Convert(job.Data(), job.DataSize(), converted);
        written = WriteAll(fd, converted.data(), converted.size());
    } else {
        written = WriteAll(fd, job.Data(), job.DataSize());
    }
    if (!written) {
        const int error = errno;
        ::close(fd);
        ::unlinkat(folder, leaf, 0);
        ReportWriteError("cannot write " + Shown(outRel), outRel, error);
        return;
    }
    if (FinishFile(i, fd, outRel, false)) {
        Done(i, Shown(p.name.shown));
    } else {
        ::unlinkat(folder, leaf, 0);
    }
}

zip_file_t* Engine::OpenWithPassword(std::size_t i, bool& skipped) {
    skipped = false;
    const Planned& p = plan_[i];
    const std::string shown = Shown(p.name.shown);
    // Methods libzip cannot read are refused here, before zip_fopen_*: libzip 1.7 leaks memory
    // when opening fails on an unsupported encryption method.
    const zip_stat_t& zs = stats_[i];
    if (((zs.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 &&
         zip_encryption_method_supported(zs.encryption_method, 0) == 0) ||
        ((zs.valid & ZIP_STAT_COMP_METHOD) != 0 &&
         zip_compression_method_supported(zs.comp_method, 0) == 0)) {
        ++unsupported_;
        skipped = true;
        Fail(BQUZP_WARN, "  skipping: " + shown + ": its compression method (" +
                             MethodName(p.method, directory_.entries[i].flags) +
                             ") or encryption is not supported; extract it with another tool");
        return nullptr;
    }
    if (!p.encrypted) {
        zip_file_t* f = zip_fopen_index(archive_, i, 0);
        if (f == nullptr) {
            zip_error_t* error = zip_get_error(archive_);
            const int code = zip_error_code_zip(error);
            if (code == ZIP_ER_COMPNOTSUPP || code == ZIP_ER_ENCRNOTSUPP) {
                ++unsupported_;
                Fail(BQUZP_WARN, "  skipping: " + shown + ": compression method " +
                                     MethodName(p.method, directory_.entries[i].flags) +
                                     " is not supported; extract it with another tool");
            } else {
                Fail(BQUZP_ERR, "  error: " + shown + ": cannot be read: " +
                                    zip_error_strerror(error) + "; get an undamaged copy");
            }
            skipped = true;
        }
        return f;
    }
    if (havePassword_) {
        zip_file_t* f = zip_fopen_index_encrypted(archive_, i, 0, password_.c_str());
        if (f != nullptr) {
            return f;
        }
        const int code = zip_error_code_zip(zip_get_error(archive_));
        if (code != ZIP_ER_WRONGPASSWD) {
            skipped = true;
            if (code == ZIP_ER_ENCRNOTSUPP || code == ZIP_ER_COMPNOTSUPP) {
                ++unsupported_;
                Fail(BQUZP_WARN, "  skipping: " + shown +
                                     ": its encryption or compression method is not supported");
            } else {
                Fail(BQUZP_ERR, "  error: " + shown + ": cannot be read: " +
                                    zip_error_strerror(zip_get_error(archive_)));
            }
            return nullptr;
        }
    }
    if (callbacks_.Password == nullptr) {
        ++badPassword_;
        skipped = true;
        Fail(BQUZP_WARN, "  skipping: " + shown + ": it is encrypted and no password was given");
        return nullptr;
    }
    char buffer[BQUZP_PASSWORD_BUFFER_SIZE];
    std::memset(buffer, 0, sizeof buffer);
    const std::string prompt = "Password for " + shown + ":";
    const int answer = callbacks_.Password(buffer, static_cast<std::int32_t>(sizeof buffer),
                                           prompt.c_str(), p.name.shown.c_str());
    if (answer != 0) {
        ++badPassword_;
        skipped = true;
        Fail(BQUZP_WARN, "  skipping: " + shown + ": it is encrypted and the password was refused");
        return nullptr;
    }
    password_.assign(buffer, strnlen(buffer, sizeof buffer - 1));
    havePassword_ = true;
    zip_file_t* f = zip_fopen_index_encrypted(archive_, i, 0, password_.c_str());
    if (f == nullptr) {
        skipped = true;
        const int code = zip_error_code_zip(zip_get_error(archive_));
        if (code == ZIP_ER_WRONGPASSWD) {
            ++badPassword_;
            Fail(BQUZP_WARN, "  skipping: " + shown + ": incorrect password");
        } else if (code == ZIP_ER_ENCRNOTSUPP || code == ZIP_ER_COMPNOTSUPP) {
            ++unsupported_;
            Fail(BQUZP_WARN, "  skipping: " + shown +
                                 ": its encryption or compression method is not supported");
        } else {
            Fail(BQUZP_ERR, "  error: " + shown +
                                ": cannot be read: " + zip_error_strerror(zip_get_error(archive_)));
        }
    }
    return f;
}

void Engine::Stream(std::size_t i, const std::string& outRel, int folder, const char* leaf) {
    const Planned& p = plan_[i];
    const CentralEntry& e = directory_.entries[i];
    const std::string shown = Shown(p.name.shown);
    const bool testing = Testing();
    bool replacing = false;
    if (!testing) {
        switch (Decide(i, folder, leaf, outRel)) {
            case Existing::Keep:
            case Existing::Blocked:
                return;
            case Existing::Replace:
                replacing = true;
                break;
            case Existing::Create:
                break;
        }
    }
    bool skipped = false;
    zip_file_t* f = OpenWithPassword(i, skipped);
    if (f == nullptr) {
        if (!skipped) {
            Fail(BQUZP_ERR, "  error: " + shown + ": cannot be read");
        }
        if (testing) {
            ++testErrors_;
        }
        return;
    }
    // Written under a temporary name, renamed only when whole and checked.
    int fd = -1;
    std::string temp;
    if (!testing) {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp = ".bqunzip-" + std::to_string(::getpid()) + "-" + std::to_string(++tempCounter_);
            fd = CreateFileIn(folder, temp.c_str(), 0600);
            if (fd < 0 && errno != EEXIST) {
                break;
            }
        }
        if (fd < 0) {
            ReportWriteError("cannot create " + Shown(outRel), outRel, errno);
            zip_fclose(f);
            return;
        }
    }
    std::vector<std::uint8_t> chunk(kStreamChunk);
    std::vector<std::uint8_t> converted;
    LineEnds lineEnds;
    const bool convert = !testing && p.text && options_.ConvertCRToCRLF != 0;
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::string problem;
    bool writeFailed = false;
    int writeError = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(f, chunk.data(), chunk.size());
        if (n < 0) {
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
        if (!testing) {
            bool ok;
            if (convert) {
                lineEnds.Convert(chunk.data(), size, converted);
                ok = WriteAll(fd, converted.data(), converted.size());
            } else {
                ok = WriteAll(fd, chunk.data(), size);
            }
            if (!ok) {
                writeFailed = true;
                writeError = errno;
                break;
            }
        }
    }
    zip_fclose(f);
    const bool aesWithoutCrc = p.encrypted && e.method == 99 && e.crc == 0;
    if (problem.empty() && !writeFailed) {
        if (total != e.size) {
            problem =
                "the data ends before the declared size of " + std::to_string(e.size) + " bytes";
        } else if (crc != e.crc && !aesWithoutCrc) {
            char crcs[64];
            std::snprintf(crcs, sizeof crcs, "bad CRC (CRC %08x, should be %08x)", crc, e.crc);
            problem = std::string(crcs) + (p.encrypted ? ", or a wrong password" : "");
        }
    }
    if (testing) {
        if (!problem.empty()) {
            ++testErrors_;
            Fail(BQUZP_ERR, "    testing: " + shown + "   " + problem);
        } else {
            Say(Severity::Info, "    testing: " + shown + "   OK");
        }
        return;
    }
    if (writeFailed) {
        ::close(fd);
        ::unlinkat(folder, temp.c_str(), 0);
        ReportWriteError("cannot write " + Shown(outRel), outRel, writeError);
        return;
    }
    if (!problem.empty()) {
        ::close(fd);
        ::unlinkat(folder, temp.c_str(), 0);
        Fail(BQUZP_ERR, "  error: " + shown + ": " + problem +
                            "; the file was not written; get an undamaged copy of the archive");
        return;
    }
    if (!FinishFile(i, fd, outRel, true)) {
        ::unlinkat(folder, temp.c_str(), 0);
        return;
    }
    const unsigned flags = replacing ? 0 : RENAME_NOREPLACE;
    if (::renameat2(folder, temp.c_str(), folder, leaf, flags) != 0) {
        const int error = errno;
        ::unlinkat(folder, temp.c_str(), 0);
        ReportWriteError("cannot put " + Shown(outRel) + " in place", outRel, error);
        return;
    }
    Done(i, shown);
}

int Engine::Run() {
    if (!OpenArchive()) {
        return result_;
    }
    PlanEntries();
    for (std::size_t k = 0; k < includes_.size(); ++k) {
        if (!includeMatched_[k]) {
            Fail(BQUZP_FIND, "caution: no entry of " + Shown(archivePath_) + " matches " +
                                 Shown(includes_[k]) + "; check the name");
        }
    }
    if (plan_.empty()) {
        Fail(BQUZP_WARN, "warning: " + Shown(archivePath_) + " holds no entry");
        return result_;
    }
    if (options_.ListOnly != 0) {
        List();
        return result_;
    }
    if (!CheckOverlaps()) {
        return result_;
    }
    Process();
    if (tried_ > 0 && badPassword_ == tried_) {
        Raise(BQUZP_BADPWD);
    } else if (tried_ > 0 && unsupported_ == tried_) {
        Raise(BQUZP_UNSUP);
    }
    if (Testing()) {
        if (testErrors_ == 0 && result_ == BQUZP_OK) {
            Say(Severity::Info,
                "No errors detected in compressed data of " + Shown(archivePath_) + ".");
        } else if (testErrors_ > 0) {
            Say(Severity::Warning, std::to_string(testErrors_) + " error(s) found in " +
                                       Shown(archivePath_) + "; get an undamaged copy");
        }
    }
    return result_;
}

}  // namespace
}  // namespace bq::unzipengine

extern "C" BQUNZIP_API int32_t Wiz_SingleEntryUnzip(
    int32_t includeCount, const char* const* includeTable, int32_t excludeCount,
    const char* const* excludeTable, const UzpOptions* options, const UzpCallbacks* callbacks) {
    static const UzpCallbacks kNoCallbacks{};
    static const char* const kNoNames[] = {nullptr};
    if (options == nullptr || includeCount < 0 || excludeCount < 0 ||
        (includeCount > 0 && includeTable == nullptr) ||
        (excludeCount > 0 && excludeTable == nullptr)) {
        if (callbacks != nullptr && callbacks->Print != nullptr) {
            static const char kText[] =
                "error: the unzip engine was called with bad arguments; this is a fault of the "
                "calling program\n";
            callbacks->Print(kText, static_cast<std::uint32_t>(sizeof kText - 1));
        }
        return BQUZP_PARAM;
    }
    try {
        bq::unzipengine::Engine engine(
            includeTable != nullptr ? includeTable : kNoNames, includeCount,
            excludeTable != nullptr ? excludeTable : kNoNames, excludeCount, *options,
            callbacks != nullptr ? *callbacks : kNoCallbacks);
        return engine.Run();
    } catch (const std::bad_alloc&) {
        if (callbacks != nullptr && callbacks->Print != nullptr) {
            static const char kText[] =
                "error: out of memory while unpacking; close other programs and try again\n";
            callbacks->Print(kText, static_cast<std::uint32_t>(sizeof kText - 1));
        }
        return BQUZP_MEM;
    } catch (...) {
        if (callbacks != nullptr && callbacks->Print != nullptr) {
            static const char kText[] =
                "error: the unzip engine could not start its work (out of system resources); "
                "try again\n";
            callbacks->Print(kText, static_cast<std::uint32_t>(sizeof kText - 1));
        }
        return BQUZP_MEM;
    }
}

extern "C" BQUNZIP_API void UzpVersion2(UzpVersionRecord* version) {
    if (version == nullptr || version->StructLength < sizeof(UzpVersionRecord)) {
        return;
    }
    version->Flags = 0;
    std::memset(version->TextA, 0, sizeof version->TextA);
    std::memset(version->TextB, 0, sizeof version->TextB);
    std::memset(version->TextC, 0, sizeof version->TextC);
    std::snprintf(version->TextA, sizeof version->TextA, "%s", "bqunzip");
    std::snprintf(version->TextB, sizeof version->TextB, "%s", BQUNZIP_BUILD_DATE);
    std::snprintf(version->TextC, sizeof version->TextC, "%s", LIBDEFLATE_VERSION_STRING);
    unsigned char* blocks[] = {version->Block1, version->Block2, version->Block3, version->Block4};
    for (unsigned char* b : blocks) {
        b[0] = bq::unzipengine::kVersionMajor;
        b[1] = bq::unzipengine::kVersionMinor;
        b[2] = bq::unzipengine::kVersionRevision;
        b[3] = 0;
    }
}
