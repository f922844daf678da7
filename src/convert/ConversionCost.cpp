#include "convert/ConversionCost.h"

#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include <strings.h>
#include <algorithm>
#include <cstring>
#include <memory>

namespace bq {

namespace {

// Seconds per byte or per file, from conversions of the tests' books (see the header).
constexpr double kStart = 1.0;
constexpr double kPerMarkupByte = 12e-6;
constexpr double kPerPictureByte = 0.05e-6;
constexpr double kPerOtherByte = 0.05e-6;
constexpr double kPerFile = 0.005;

struct ZipClose {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

bool EndsWithAny(const char* name, std::initializer_list<const char*> endings) {
    const std::size_t length = std::strlen(name);
    for (const char* ending : endings) {
        const std::size_t size = std::strlen(ending);
        if (length >= size && strncasecmp(name + length - size, ending, size) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

double ExpectedConversionSeconds(const QString& epub) {
    const QByteArray path = QFile::encodeName(epub);
    int error = 0;
    const std::unique_ptr<zip_t, ZipClose> archive(zip_open(path.constData(), ZIP_RDONLY, &error));
    if (!archive) {
        return kStart +
               kPerMarkupByte * static_cast<double>(std::max<qint64>(0, QFileInfo(epub).size()));
    }
    double seconds = kStart;
    const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0 ||
            (st.valid & ZIP_STAT_NAME) == 0 || (st.valid & ZIP_STAT_SIZE) == 0) {
            continue;
        }
        const auto size = static_cast<double>(st.size);
        seconds += kPerFile;
        if (EndsWithAny(st.name,
                        {".xhtml", ".html", ".htm", ".xml", ".css", ".opf", ".ncx", ".svg"})) {
            seconds += kPerMarkupByte * size;
        } else if (EndsWithAny(st.name,
                               {".jpg", ".jpeg", ".png", ".gif", ".webp", ".bmp", ".tif"})) {
            seconds += kPerPictureByte * size;
        } else {
            seconds += kPerOtherByte * size;
        }
    }
    return seconds;
}

}  // namespace bq
