// Opening and checking the archive (see Archive.h).
#include "Archive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bq::unzipengine {

// The bytes libzip reads: the archive file up to its central directory, then either the rest
// of the file as it is or a central directory of the engine's (the records libzip accepts, and
// end records for them).
struct Archive::Source {
    const ArchiveFile* file = nullptr;
    std::uint64_t fromFile = 0;       // bytes read from the file
    std::vector<std::uint8_t> after;  // bytes that follow them
    std::uint64_t position = 0;
    zip_error_t error{};

    std::uint64_t Size() const { return fromFile + after.size(); }

    zip_int64_t Read(std::uint8_t* out, std::uint64_t length) {
        length = std::min(length, Size() - std::min(position, Size()));
        std::uint64_t done = 0;
        if (position < fromFile && length > 0) {
            const std::uint64_t n = std::min(length, fromFile - position);
            if (!file->Read(position, out, static_cast<std::size_t>(n))) {
                zip_error_set(&error, ZIP_ER_READ, errno);
                return -1;
            }
            done = n;
        }
        if (done < length) {
            const std::uint64_t at = position + done - fromFile;
            std::memcpy(out + done, after.data() + at, static_cast<std::size_t>(length - done));
            done = length;
        }
        position += done;
        return static_cast<zip_int64_t>(done);
    }

    static zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
        auto* self = static_cast<Source*>(state);
        switch (command) {
            case ZIP_SOURCE_OPEN:
                self->position = 0;
                return 0;
            case ZIP_SOURCE_READ:
                return self->Read(static_cast<std::uint8_t*>(data), length);
            case ZIP_SOURCE_CLOSE:
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* st = static_cast<zip_stat_t*>(data);
                zip_stat_init(st);
                st->size = self->Size();
                st->valid |= ZIP_STAT_SIZE;
                return sizeof(zip_stat_t);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&self->error, data, length);
            case ZIP_SOURCE_FREE:
                zip_error_fini(&self->error);
                delete self;
                return 0;
            case ZIP_SOURCE_SEEK: {
                const zip_int64_t to = zip_source_seek_compute_offset(self->position, self->Size(),
                                                                      data, length, &self->error);
                if (to < 0) {
                    return -1;
                }
                self->position = static_cast<std::uint64_t>(to);
                return 0;
            }
            case ZIP_SOURCE_TELL:
                return static_cast<zip_int64_t>(self->position);
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(
                    ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                    ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                    ZIP_SOURCE_SUPPORTS, -1);
            default:
                zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }
};

Archive::~Archive() {
    if (zip_ != nullptr) {
        zip_discard(zip_);
    }
}

zip_t* Archive::OpenZip(const std::vector<std::size_t>* entries, zip_error_t& error) {
    auto* state = new Source;
    state->file = &file_;
    zip_error_init(&state->error);
    if (entries == nullptr) {
        // The directory as the engine read it, so that libzip does not read it again record by
        // record; then the end records from the file.
        state->fromFile = directory_.offset;
        state->after = directory_.bytes;
        const std::uint64_t end = directory_.offset + directory_.bytes.size();
        state->after.resize(static_cast<std::size_t>(file_.Size() - directory_.offset));
        if (!file_.Read(end, state->after.data() + directory_.bytes.size(),
                        static_cast<std::size_t>(file_.Size() - end))) {
            zip_error_set(&error, ZIP_ER_READ, errno);
            zip_error_fini(&state->error);
            delete state;
            return nullptr;
        }
    } else {
        state->fromFile = directory_.offset;
        state->after = CentralDirectoryOf(directory_, *entries);
    }
    zip_source_t* source = zip_source_function_create(&Source::Callback, state, &error);
    if (source == nullptr) {
        zip_error_fini(&state->error);
        delete state;
        return nullptr;
    }
    zip_t* zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (zip == nullptr) {
        zip_source_free(source);  // frees state too
    }
    return zip;
}

// Finds the entries whose records libzip accepts, halving the entries it refuses together.
void Archive::SortOut(const std::vector<std::size_t>& entries, std::vector<std::size_t>& readable) {
    if (entries.empty()) {
        return;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_t* zip = OpenZip(&entries, error);
    if (zip != nullptr) {
        zip_discard(zip);
        readable.insert(readable.end(), entries.begin(), entries.end());
    } else if (entries.size() == 1) {
        refused_[entries[0]] = zip_error_strerror(&error);
    } else {
        const auto half = entries.begin() + static_cast<std::ptrdiff_t>(entries.size() / 2);
        SortOut(std::vector<std::size_t>(entries.begin(), half), readable);
        SortOut(std::vector<std::size_t>(half, entries.end()), readable);
    }
    zip_error_fini(&error);
}

const char* Archive::ZipName(std::size_t i) const {
    return Readable(i) ? zip_get_name(zip_, ZipIndex(i), 0) : nullptr;
}

bool Archive::Open(const std::string& path, Report& report) {
    path_ = path;
    if (!file_.Open(path_)) {
        const int error = errno;
        report.Fail(BQUZP_NOZIP, "error: cannot open the archive " + Report::Shown(path_) + ": " +
                                     (error == EINVAL ? std::string("not a regular file")
                                                      : std::string(std::strerror(error))) +
                                     "; check that the file exists and is readable");
        return false;
    }
    if (file_.Size() == 0) {
        report.Fail(BQUZP_NOZIP, "error: " + Report::Shown(path_) +
                                     " is empty or cannot be read, so it is not a ZIP archive; "
                                     "get a complete copy of the archive");
        return false;
    }
    std::string problem;
    if (!ReadCentralDirectory(file_, directory_, problem)) {
        report.Fail(BQUZP_NOZIP, "error: " + Report::Shown(path_) +
                                     " cannot be read as a ZIP archive: " + problem +
                                     "; get a complete, undamaged copy of the archive");
        return false;
    }
    const std::size_t count = directory_.entries.size();
    zipIndex_.assign(count, -1);
    refused_.assign(count, std::string());
    zip_error_t error;
    zip_error_init(&error);
    zip_ = OpenZip(nullptr, error);
    if (zip_ == nullptr && zip_error_code_zip(&error) == ZIP_ER_INCONS) {
        // libzip refuses the whole directory for one bad record (a name flagged as UTF-8 that
        // is not, an AES entry without its extra field, ...): it gets a directory of the
        // records it accepts, and the others are reported as they come.
        std::vector<std::size_t> all(count);
        for (std::size_t i = 0; i < count; ++i) {
            all[i] = i;
        }
        std::vector<std::size_t> readable;
        SortOut(all, readable);
        std::sort(readable.begin(), readable.end());
        zip_error_fini(&error);
        zip_error_init(&error);
        zip_ = OpenZip(&readable, error);
        for (std::size_t k = 0; zip_ != nullptr && k < readable.size(); ++k) {
            zipIndex_[readable[k]] = static_cast<std::int64_t>(k);
        }
    } else if (zip_ != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            zipIndex_[i] = static_cast<std::int64_t>(i);
        }
    }
    if (zip_ == nullptr) {
        const int code = zip_error_code_zip(&error) == ZIP_ER_MEMORY  ? BQUZP_MEM
                         : zip_error_code_zip(&error) == ZIP_ER_NOZIP ? BQUZP_NOZIP
                                                                      : BQUZP_BADERR;
        report.Fail(code, "error: " + Report::Shown(path_) +
                              " cannot be read as a ZIP archive: " + zip_error_strerror(&error) +
                              "; get a complete, undamaged copy of the archive");
        zip_error_fini(&error);
        return false;
    }
    zip_error_fini(&error);
    // libzip and the engine must read the same directory.
    std::size_t readable = 0;
    for (std::size_t i = 0; i < count; ++i) {
        readable += Readable(i) ? 1 : 0;
    }
    const zip_int64_t zipCount = zip_get_num_entries(zip_, 0);
    bool consistent = zipCount >= 0 && static_cast<std::uint64_t>(zipCount) == readable;
    stats_.resize(count);
    for (std::size_t i = 0; consistent && i < count; ++i) {
        zip_stat_t& zs = stats_[i];
        zip_stat_init(&zs);
        if (!Readable(i)) {
            continue;
        }
        const CentralEntry& e = directory_.entries[i];
        consistent = zip_stat_index(zip_, ZipIndex(i), 0, &zs) == 0 && zs.size == e.size &&
                     zs.comp_size == e.packedSize;
    }
    if (!consistent) {
        report.Fail(BQUZP_BADERR,
                    "error: " + Report::Shown(path_) +
                        " has a central directory that can be read in two ways (a damaged or "
                        "deliberately ambiguous archive); nothing was extracted");
        return false;
    }
    return true;
}

bool Archive::CheckOverlaps(const std::vector<std::string>& names, Report& report) {
    struct Range {
        std::uint64_t begin;
        std::uint64_t end;
        std::size_t index;
    };
    std::vector<Range> ranges;
    ranges.reserve(Count());
    locals_.resize(Count());
    for (std::size_t i = 0; i < Count(); ++i) {
        const CentralEntry& e = directory_.entries[i];
        locals_[i] = ReadLocalHeader(file_, e);
        if (locals_[i].located) {
            ranges.push_back({e.localOffset, locals_[i].dataOffset + e.packedSize, i});
        }
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        const bool overlapsNext = k + 1 < ranges.size() && ranges[k + 1].begin < ranges[k].end;
        const bool overlapsDirectory = ranges[k].end > directory_.offset;
        if (overlapsNext || overlapsDirectory) {
            const std::string& a = names[ranges[k].index];
            const std::string other =
                overlapsNext ? names[ranges[k + 1].index] : "the central directory";
            report.Fail(BQUZP_BADERR, "error: " + Report::Shown(path_) + ": the data of " +
                                          Report::Shown(a) + " overlaps " + Report::Shown(other) +
                                          " (an archive built to blow up when unpacked, or a "
                                          "damaged one); nothing was extracted");
            return false;
        }
    }
    return true;
}

}  // namespace bq::unzipengine
