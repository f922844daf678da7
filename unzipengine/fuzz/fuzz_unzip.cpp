// Fuzz target: the engine lists, tests and extracts one input archive into a temporary folder,
// and the target checks that nothing appeared outside that folder and that no link, FIFO or
// device was made. Built for libFuzzer with clang, and into a standalone runner over the seed
// archives otherwise.

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unzip_engine.h"

namespace {

std::string g_folder;  // holds input.zip and out/ only

int32_t Print(const char* text, uint32_t count) {
    if (count < 2 || count > 1023 || text[count - 1] != '\n' || text[count] != '\0' ||
        std::memchr(text, 0, count) != nullptr) {
        std::fprintf(stderr, "a message breaks the print rules\n");
        std::abort();
    }
    return 0;
}

int32_t Replace(const char*) {
    return BQUZP_REPLACE_YES;
}

int32_t Password(char* buffer, int32_t size, const char*, const char*) {
    if (size < 255) {
        std::abort();
    }
    std::memcpy(buffer, "right", 5);
    return 0;
}

void EntryInfo(uint64_t, int32_t, int32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
               unsigned char, const char* path, const char* method, uint32_t, unsigned char) {
    if (path == nullptr || method == nullptr) {
        std::abort();
    }
    (void)std::strlen(path);
    (void)std::strlen(method);
}

int32_t Service(const char* text, uint32_t count) {
    if (count < 1 || text[count - 1] != '\0') {
        std::abort();
    }
    return 0;
}

int CheckAndRemove(const char* path, const struct stat* st, int kind, struct FTW*) {
    if (kind == FTW_SL || kind == FTW_SLN || (kind == FTW_F && !S_ISREG(st->st_mode))) {
        std::fprintf(stderr, "the engine made something that is not a file or folder: %s\n", path);
        std::abort();
    }
    if ((st->st_mode & 07000) != 0) {
        std::fprintf(stderr, "the engine kept setuid/setgid/sticky bits: %s\n", path);
        std::abort();
    }
    ::remove(path);
    return 0;
}

void Setup() {
    if (!g_folder.empty()) {
        return;
    }
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bqunzip-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = templ;
    std::atexit([] { ::rmdir(g_folder.c_str()); });  // empty between inputs
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    const std::string archive = g_folder + "/input.zip";
    const std::string out = g_folder + "/out";
    {
        std::FILE* f = std::fopen(archive.c_str(), "wb");
        if (f == nullptr) {
            std::abort();
        }
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    UzpCallbacks callbacks{};
    callbacks.Print = Print;
    callbacks.Replace = Replace;
    callbacks.Password = Password;
    callbacks.EntryInfo = EntryInfo;
    callbacks.Service = Service;
    UzpOptions options{};
    options.ZipFile = archive.c_str();
    options.UnzipFolder = out.c_str();
    options.ListOnly = 1;
    Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
    options.ListOnly = 0;
    options.TestZip = 1;
    Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
    options.TestZip = 0;
    options.UseFolderNames = 1;
    options.ConvertCRToCRLF = 1;
    options.PromptToOverwrite = 1;
    Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);
    // Again over the first tree: replacing files, folders in the way.
    options.UseFolderNames = size % 2 == 0 ? 1 : 0;
    options.SpaceToUnderScore = 1;
    Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks);

    // Nothing beside input.zip and out/.
    ::unlink(archive.c_str());
    ::nftw(out.c_str(), CheckAndRemove, 64, FTW_DEPTH | FTW_PHYS);
    if (::rmdir(g_folder.c_str()) != 0) {
        std::fprintf(stderr, "something was written beside the target folder in %s\n",
                     g_folder.c_str());
        std::abort();
    }
    if (::mkdir(g_folder.c_str(), 0700) != 0) {
        std::abort();
    }
    return 0;
}
