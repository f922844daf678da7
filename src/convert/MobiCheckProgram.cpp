// mobi-check FILE: reads a MOBI file back whole with libmobi, a reader that is not the
// converter: its records load and its text and resources parse. The program runs it in a child
// of its own for each new book, so that a malformed file can neither hang nor crash the window.
// The exit status says what it found (MobiCheckStatus in MobiCheck.h).
#include "convert/MobiCheckStatus.h"

#include <mobi.h>

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

bq::MobiCheckStatus Check(const char* path) {
    const std::unique_ptr<MOBIData, MobiDataFree> data(mobi_init());
    if (!data) {
        return bq::MobiCheckStatus::OutOfMemory;
    }
    MOBI_RET result = mobi_load_filename(data.get(), path);
    if (result != MOBI_SUCCESS) {
        return StatusOf(result);
    }
    if (mobi_is_encrypted(data.get())) {
        return bq::MobiCheckStatus::Encrypted;
    }
    const std::unique_ptr<MOBIRawml, MobiRawmlFree> rawml(mobi_init_rawml(data.get()));
    if (!rawml) {
        return bq::MobiCheckStatus::OutOfMemory;
    }
    return StatusOf(mobi_parse_rawml(rawml.get(), data.get()));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        return static_cast<int>(bq::MobiCheckStatus::Usage);
    }
    return static_cast<int>(Check(argv[1]));
}
