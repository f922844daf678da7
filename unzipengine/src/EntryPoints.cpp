// The engine's two C entry points: Wiz_SingleEntryUnzip (checks its arguments, runs one Engine,
// turns anything thrown into a result and a message) and UzpVersion2.
#include <libdeflate.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Engine.h"
#include "unzip_engine.h"

namespace {
constexpr unsigned char kVersionMajor = 1;
constexpr unsigned char kVersionMinor = 0;
constexpr unsigned char kVersionRevision = 0;

// Says text through the print callback, when there is one (text is a literal with its line
// feed).
template <std::size_t N>
void Tell(const UzpCallbacks* callbacks, const char (&text)[N]) {
    if (callbacks != nullptr && callbacks->Print != nullptr) {
        callbacks->Print(text, static_cast<std::uint32_t>(N - 1));
    }
}
}  // namespace

extern "C" BQUNZIP_API int32_t Wiz_SingleEntryUnzip(
    int32_t includeCount, const char* const* includeTable, int32_t excludeCount,
    const char* const* excludeTable, const UzpOptions* options, const UzpCallbacks* callbacks) {
    static const UzpCallbacks kNoCallbacks{};
    static const char* const kNoNames[] = {nullptr};
    if (options == nullptr || includeCount < 0 || excludeCount < 0 ||
        (includeCount > 0 && includeTable == nullptr) ||
        (excludeCount > 0 && excludeTable == nullptr)) {
        Tell(callbacks,
             "error: the unzip engine was called with bad arguments; this is a fault of the "
             "calling program\n");
        return BQUZP_PARAM;
    }
    try {
        bq::unzipengine::Engine engine(
            includeTable != nullptr ? includeTable : kNoNames, includeCount,
            excludeTable != nullptr ? excludeTable : kNoNames, excludeCount, *options,
            callbacks != nullptr ? *callbacks : kNoCallbacks);
        return engine.Run();
    } catch (const std::bad_alloc&) {
        Tell(callbacks,
             "error: out of memory while unpacking; close other programs and try again\n");
        return BQUZP_MEM;
    } catch (...) {
        Tell(callbacks,
             "error: the unzip engine could not start its work (out of system resources); try "
             "again\n");
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
        b[0] = kVersionMajor;
        b[1] = kVersionMinor;
        b[2] = kVersionRevision;
        b[3] = 0;
    }
}
