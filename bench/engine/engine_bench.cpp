// Times the unzip engine on an archive shaped like the converter runtime, called directly
// through its C interface, against Info-ZIP's `unzip -q` and `cp -a` of the unpacked tree, each
// into a fresh folder, on the disk and on tmpfs. Prints median times, ratios against the
// targets (engine <= 0.3 x unzip on tmpfs, <= 1.1 x cp -a on disk) and peak resident memory.
//
// Usage: bqunzip_engine_bench ARCHIVE [--runs N] [--disk DIR] [--shm DIR]

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "unzip_engine.h"

extern char** environ;

namespace {

struct Sample {
    double seconds = 0;
    long maxRssKb = 0;
    int status = 0;
};

int Print(const char* text, uint32_t count) {
    std::fwrite(text, 1, count, stderr);
    return 0;
}

// Runs fn in a child process, so that its peak memory is its own.
template <typename Fn>
Sample InChild(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(fn());
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Sample s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.maxRssKb = usage.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

int Spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return 127;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void RemoveTree(const std::string& path) {
    Spawn({"rm", "-rf", path});
}

void DropCaches() {
    sync();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Result {
    double median = 0;
    long rssKb = 0;
    int failures = 0;
};

// One tool: how it extracts (or copies) into a fresh folder.
struct Tool {
    Tool(const char* toolName, std::function<int(const std::string& out)> toolRun)
        : name(toolName), run(std::move(toolRun)) {}
    const char* name;
    std::function<int(const std::string& out)> run;
    std::vector<double> times;
    long rssKb = 0;
    int failures = 0;
};

// Runs every tool runs times into fresh folders under base, taking turns (the order rotates
// each round), so that the file system's state drifts alike for all of them. The last round's
// trees stay for comparison.
void MeasureRounds(const std::string& base, int runs, std::vector<Tool>& tools) {
    for (int round = 0; round < runs; ++round) {
        for (std::size_t k = 0; k < tools.size(); ++k) {
            Tool& tool = tools[(k + static_cast<std::size_t>(round)) % tools.size()];
            const std::string out = base + "/" + tool.name;
            RemoveTree(out);
            DropCaches();
            Sample s = InChild([&] { return tool.run(out); });
            tool.times.push_back(s.seconds);
            tool.rssKb = std::max(tool.rssKb, s.maxRssKb);
            if (s.status != 0) {
                ++tool.failures;
            }
        }
    }
}

int EngineExtract(const std::string& archive, const std::string& out, bool test) {
    UzpOptions o{};
    o.UseFolderNames = 1;
    o.MessageLevel = 1;
    o.TestZip = test ? 1 : 0;
    o.ZipFile = archive.c_str();
    o.UnzipFolder = out.c_str();
    UzpCallbacks c{};
    c.Print = Print;
    return Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &o, &c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE [--runs N] [--disk DIR] [--shm DIR]\n", argv[0]);
        return 2;
    }
    const std::string archive = argv[1];
    int runs = 5;
    std::string disk = "/var/tmp/bqunzip-engine-bench";
    std::string shm = "/dev/shm/bqunzip-engine-bench";
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--disk") == 0) {
            disk = argv[i + 1];
        } else if (std::strcmp(argv[i], "--shm") == 0) {
            shm = argv[i + 1];
        }
    }
    struct stat st {};
    if (stat(archive.c_str(), &st) != 0) {
        std::fprintf(stderr, "cannot find the archive %s\n", archive.c_str());
        return 2;
    }
    const long archiveKb = static_cast<long>(st.st_size / 1024);
    std::printf("archive %s: %.1f MB, %d runs each, median times\n", archive.c_str(),
                st.st_size / 1e6, runs);

    int problems = 0;
    {
        std::vector<Tool> test = {
            {"test", [&](const std::string&) { return EngineExtract(archive, "", true); }}};
        MeasureRounds(shm, runs, test);
        std::printf("engine test (inflate + CRC, no writes): %.3f s\n", Median(test[0].times));
    }
    for (const std::string& base : {shm, disk}) {
        RemoveTree(base);
        Spawn({"mkdir", "-p", base});
        const bool tmpfs = base == shm;
        const std::string reference = base + "/reference";
        Spawn({"unzip", "-q", "-o", archive, "-d", reference});
        std::vector<Tool> tools = {
            {"engine", [&](const std::string& out) { return EngineExtract(archive, out, false); }},
            {"unzip",
             [&](const std::string& out) {
                 execlp("unzip", "unzip", "-q", "-o", archive.c_str(), "-d", out.c_str(), nullptr);
                 return 127;
             }},
            {"cp", [&](const std::string& out) {
                 execlp("cp", "cp", "-a", reference.c_str(), out.c_str(), nullptr);
                 return 127;
             }}};
        MeasureRounds(base, runs, tools);
        const double engine = Median(tools[0].times);
        const double unzip = Median(tools[1].times);
        const double cp = Median(tools[2].times);
        const int same = Spawn({"diff", "-r", "-q", base + "/engine", reference});
        const int failures = tools[0].failures + tools[1].failures + tools[2].failures;
        problems += failures + (same != 0);
        std::printf("\n%s (%s):\n", tmpfs ? "tmpfs" : "disk", base.c_str());
        std::printf("  engine   %.3f s  peak RSS %ld MB (the archive is %ld MB)\n", engine,
                    tools[0].rssKb / 1024, archiveKb / 1024);
        std::printf("  unzip -q %.3f s  peak RSS %ld MB\n", unzip, tools[1].rssKb / 1024);
        std::printf("  cp -a    %.3f s\n", cp);
        std::printf("  engine / unzip = %.2f (target on tmpfs <= 0.30)\n", engine / unzip);
        std::printf("  engine / cp -a = %.2f (target on disk <= 1.10)\n", engine / cp);
        std::printf("  trees identical (engine vs unzip): %s; failed runs: %d\n",
                    same == 0 ? "yes" : "NO", failures);
        RemoveTree(base);
    }
    return problems == 0 ? 0 : 1;
}
