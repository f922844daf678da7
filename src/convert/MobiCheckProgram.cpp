// mobi-check [--joint] FILE: reads a MOBI file back whole with libmobi, a reader that is not the
// converter: its records load and its text and resources parse. The program runs it in a child
// of its own for each new book, so that a malformed file can neither hang nor crash the window.
// With --joint the file must hold both a MOBI 6 and a KF8 part (the KF8 boundary record that
// libmobi finds), and each part's text and resources must parse whole. The exit status says
// what it found (MobiCheckStatus in MobiCheck.h).
#include "convert/MobiCheckStatus.h"

#include <mobi.h>

#include <cstring>
#include <memory>

namespace {

struct MobiDataFree {
    void operator()(MOBIData* data) const { mobi_free(data); }
};
struct MobiRawmlFree {
    void operator()(MOBIRawml* rawml) const { mobi_free_rawml(rawml); }
};

bq::MobiCheckStatus StatusOf(MOBI_RET result) {
    switch (result) {
        case MOBI_SUCCESS:
            return bq::MobiCheckStatus::Good;
        case MOBI_FILE_NOT_FOUND:
            return bq::MobiCheckStatus::Missing;
        case MOBI_FILE_ENCRYPTED:
        case MOBI_DRM_PIDINV:
        case MOBI_DRM_KEYNOTFOUND:
        case MOBI_DRM_UNSUPPORTED:
        case MOBI_DRM_EXPIRED:
            return bq::MobiCheckStatus::Encrypted;
        case MOBI_MALLOC_FAILED:
            return bq::MobiCheckStatus::OutOfMemory;
        default:
            return bq::MobiCheckStatus::Damaged;
    }
}

using MobiDataPointer = std::unique_ptr<MOBIData, MobiDataFree>;

// Loads the file; useKf8: of a file with both parts, the KF8 part is the one parsed (libmobi's
// default), else the MOBI 6 part.
bq::MobiCheckStatus Load(const char* path, bool useKf8, MobiDataPointer& data) {
    data.reset(mobi_init());
    if (!data) {
        return bq::MobiCheckStatus::OutOfMemory;
    }
    data->use_kf8 = useKf8;
    const MOBI_RET result = mobi_load_filename(data.get(), path);
    if (result != MOBI_SUCCESS) {
        return StatusOf(result);
    }
    if (mobi_is_encrypted(data.get())) {
        return bq::MobiCheckStatus::Encrypted;
    }
    return bq::MobiCheckStatus::Good;
}

// Parses the loaded part's text (every text record, decompressed) and resources.
bq::MobiCheckStatus Parse(const MOBIData* data) {
    const std::unique_ptr<MOBIRawml, MobiRawmlFree> rawml(mobi_init_rawml(data));
    if (!rawml) {
        return bq::MobiCheckStatus::OutOfMemory;
    }
    return StatusOf(mobi_parse_rawml(rawml.get(), data));
}

bq::MobiCheckStatus Check(const char* path) {
    MobiDataPointer data(nullptr, MobiDataFree{});
    const bq::MobiCheckStatus loaded = Load(path, true, data);
    if (loaded != bq::MobiCheckStatus::Good) {
        return loaded;
    }
    return Parse(data.get());
}

bq::MobiCheckStatus CheckJoint(const char* path) {
    // The MOBI 6 part, which older Kindles read: its header names the KF8 boundary record.
    MobiDataPointer data(nullptr, MobiDataFree{});
    bq::MobiCheckStatus status = Load(path, false, data);
    if (status != bq::MobiCheckStatus::Good) {
        return status;
    }
    if (mobi_is_kf8(data.get())) {
        return bq::MobiCheckStatus::Damaged;  // a KF8 file without its MOBI 6 part
    }
    if (!mobi_is_hybrid(data.get()) || mobi_get_kf8boundary_seqnumber(data.get()) == MOBI_NOTSET) {
        return bq::MobiCheckStatus::NoKf8Part;
    }
    status = Parse(data.get());
    if (status != bq::MobiCheckStatus::Good) {
        return status;
    }
    // The KF8 part, past the boundary.
    status = Load(path, true, data);
    if (status == bq::MobiCheckStatus::Damaged) {
        return bq::MobiCheckStatus::Kf8Damaged;
    }
    if (status != bq::MobiCheckStatus::Good) {
        return status;
    }
    if (!mobi_is_kf8(data.get())) {
        return bq::MobiCheckStatus::Kf8Damaged;  // the part past the boundary is no KF8
    }
    status = Parse(data.get());
    return status == bq::MobiCheckStatus::Damaged ? bq::MobiCheckStatus::Kf8Damaged : status;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--joint") == 0) {
        return static_cast<int>(CheckJoint(argv[2]));
    }
    if (argc != 2) {
        return static_cast<int>(bq::MobiCheckStatus::Usage);
    }
    return static_cast<int>(Check(argv[1]));
}
