// The folder the engine extracts into: reaching folders below it without following links,
// making them, setting folder bits and times at the end, and creating and writing files.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bq::unzipengine {

// The folder the engine extracts into. Every path below it is reached one part at a time from
// an open folder, never following a symbolic link (O_NOFOLLOW, openat/mkdirat), so nothing can
// be written outside it, whatever links an earlier program left there. Open folders are kept
// for the following entries; each folder is made once.
class TargetFolder {
  public:
    TargetFolder() = default;
    ~TargetFolder();
    TargetFolder(const TargetFolder&) = delete;
    TargetFolder& operator=(const TargetFolder&) = delete;

    // Opens (making it and its parents when missing) the target folder. "" is the current
    // folder. On failure returns false with errno kept.
    bool Open(const std::string& path);

    // The open folder at relative (made, with its parents, when missing); -1 with errno and the
    // part that failed in failedPart on failure. ENOTDIR: a file (or a link) is in the way.
    int Folder(std::string_view relative, std::string& failedPart);

    // Notes a folder entry's permission bits and time, set by Finish (after every file in it).
    void RememberFolder(std::string relative, mode_t mode, bool hasMode, std::time_t mtime);

    // Sets the remembered folders' bits and times, deepest first.
    void Finish();

    // Whether relative names a folder made by this call.
    bool MadeByThisCall(const std::string& relative) const { return made_.count(relative) != 0; }

    const std::string& Path() const { return path_; }

  private:
    int OpenChild(int parent, const std::string& name, bool& made);
    void CloseAll();

    struct FolderTimes {
        std::string relative;
        mode_t mode;
        bool hasMode;
        std::time_t mtime;
    };
    std::string path_;
    int root_ = -1;
    std::unordered_map<std::string, int> open_;
    std::unordered_map<std::string, bool> made_;
    std::vector<FolderTimes> folders_;
};

// The umask of this process, read without changing it (/proc/self/status); 0777 when it cannot
// be read, which makes every caller set the bits explicitly.
mode_t CurrentUmask();

// Creates name in folder for writing; fails (errno EEXIST) when anything of that name exists.
int CreateFileIn(int folder, const char* name, mode_t mode);

// Writes all of data; false with errno on failure.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);

}  // namespace bq::unzipengine
