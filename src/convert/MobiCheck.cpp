#include "convert/MobiCheck.h"

#include <QFile>

#include <mobi.h>

#include <memory>

namespace bq {

namespace {

QString ProblemText(MOBI_RET result) {
    switch (result) {
        case MOBI_SUCCESS:
            return {};
        case MOBI_FILE_NOT_FOUND:
            return QStringLiteral("the converter made no MOBI file");
        case MOBI_FILE_ENCRYPTED:
        case MOBI_DRM_PIDINV:
        case MOBI_DRM_KEYNOTFOUND:
        case MOBI_DRM_UNSUPPORTED:
        case MOBI_DRM_EXPIRED:
            return QStringLiteral("the MOBI file made is encrypted and cannot be read");
        case MOBI_MALLOC_FAILED:
            return QStringLiteral("the MOBI file made could not be checked (out of memory)");
        default:
            return QStringLiteral("the MOBI file made is damaged (it cannot be read back whole)");
    }
}

struct MobiDataFree {
    void operator()(MOBIData* data) const { mobi_free(data); }
};
struct MobiRawmlFree {
    void operator()(MOBIRawml* rawml) const { mobi_free_rawml(rawml); }
};

}  // namespace

QString MobiProblem(const QString& path) {
    const std::unique_ptr<MOBIData, MobiDataFree> data(mobi_init());
    if (!data) {
        return ProblemText(MOBI_MALLOC_FAILED);
    }
    MOBI_RET result = mobi_load_filename(data.get(), QFile::encodeName(path).constData());
    if (result != MOBI_SUCCESS) {
        return ProblemText(result);
    }
    if (mobi_is_encrypted(data.get())) {
        return ProblemText(MOBI_FILE_ENCRYPTED);
    }
    const std::unique_ptr<MOBIRawml, MobiRawmlFree> rawml(mobi_init_rawml(data.get()));
    if (!rawml) {
        return ProblemText(MOBI_MALLOC_FAILED);
    }
    result = mobi_parse_rawml(rawml.get(), data.get());
    return ProblemText(result);
}

}  // namespace bq
