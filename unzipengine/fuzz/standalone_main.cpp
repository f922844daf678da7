// Runs the fuzz target over files and folders of archives (the seeds), for builds without
// libFuzzer: bqunzip_fuzz_standalone PATH...

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    // Every prefix cut at a few points: truncated archives.
    for (std::size_t cut : {bytes.size() / 2, bytes.size() * 9 / 10, bytes.size() - 1}) {
        if (cut < bytes.size()) {
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), cut);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int problems = 0;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "cannot find %s\n", argv[i]);
            ++problems;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            problems += RunFile(argv[i]);
            ++count;
            continue;
        }
        DIR* d = opendir(argv[i]);
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            const std::string path = std::string(argv[i]) + "/" + e->d_name;
            if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                problems += RunFile(path);
                ++count;
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
    }
    std::printf("ran %d inputs\n", count);
    return problems == 0 && count > 0 ? 0 : 1;
}
