// Calls the unzip engine once, for tests that must run it as another user or in another process:
//   bqunzip_try ARCHIVE FOLDER [extract|test|list]
// Prints the engine's messages and exits with its result.

#include <cstdio>
#include <cstring>

#include "unzip_engine.h"

namespace {
int Print(const char* text, uint32_t count) {
    std::fwrite(text, 1, count, stdout);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE FOLDER [extract|test|list]\n", argv[0]);
        return 2;
    }
    const char* mode = argc > 3 ? argv[3] : "extract";
    UzpOptions options{};
    options.UseFolderNames = 1;
    options.TestZip = std::strcmp(mode, "test") == 0 ? 1 : 0;
    options.ListOnly = std::strcmp(mode, "list") == 0 ? 1 : 0;
    options.ZipFile = argv[1];
    options.UnzipFolder = argv[2];
    UzpCallbacks callbacks{};
    callbacks.Print = Print;
    return Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
}
