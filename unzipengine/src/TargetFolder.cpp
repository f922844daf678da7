// The target folder and file helpers (see TargetFolder.h).
#include "TargetFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bq::unzipengine {

namespace {
constexpr std::size_t kMaxOpenFolders = 256;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
}  // namespace

TargetFolder::~TargetFolder() {
    CloseAll();
    if (root_ >= 0) {
        ::close(root_);
    }
}

void TargetFolder::CloseAll() {
    for (auto& [name, fd] : open_) {
        ::close(fd);
    }
    open_.clear();
}

bool TargetFolder::Open(const std::string& path) {
    path_ = path.empty() ? std::string(".") : path;
    // The target itself is the user's choice and may be reached through links; below it the
    // engine follows none. Make it and its missing parents first.
    int fd = ::open(path_.c_str(), kFolderFlags & ~O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        std::string partial;
        std::size_t at = 0;
        while (at != std::string::npos) {
            at = path_.find('/', at + 1);
            partial = path_.substr(0, at);
            if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
        fd = ::open(path_.c_str(), kFolderFlags & ~O_NOFOLLOW);
    }
    if (fd < 0) {
        return false;
    }
    root_ = fd;
    return true;
}

int TargetFolder::OpenChild(int parent, const std::string& name, bool& made) {
    made = false;
    if (::mkdirat(parent, name.c_str(), 0777) == 0) {
        made = true;
    } else if (errno != EEXIST) {
        return -1;
    }
    const int fd = ::openat(parent, name.c_str(), kFolderFlags);
    if (fd < 0 && errno == ELOOP) {
        errno = ENOTDIR;  // a link where a folder should be: treated as something in the way
    }
    return fd;
}

int TargetFolder::Folder(std::string_view relative, std::string& failedPart) {
    if (relative.empty()) {
        return root_;
    }
    const std::string key(relative);
    if (auto it = open_.find(key); it != open_.end()) {
        return it->second;
    }
    const std::size_t slash = relative.rfind('/');
    int parent = root_;
    if (slash != std::string_view::npos) {
        parent = Folder(relative.substr(0, slash), failedPart);
        if (parent < 0) {
            return -1;
        }
    }
    if (open_.size() >= kMaxOpenFolders) {
        // Keep the parent (needed now) and let the others go.
        const std::string parentKey(slash == std::string_view::npos ? std::string_view()
                                                                    : relative.substr(0, slash));
        int kept = -1;
        for (auto& [name, fd] : open_) {
            if (name == parentKey) {
                kept = fd;
            } else {
                ::close(fd);
            }
        }
        open_.clear();
        if (kept >= 0) {
            open_.emplace(parentKey, kept);
        }
    }
    const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
    bool made = false;
    const int fd = OpenChild(parent, name, made);
    if (fd < 0) {
        failedPart = key;
        return -1;
    }
    if (made) {
        made_.emplace(key, true);
    }
    open_.emplace(key, fd);
    return fd;
}

void TargetFolder::RememberFolder(std::string relative, mode_t mode, bool hasMode,
                                  std::time_t mtime) {
    folders_.push_back({std::move(relative), mode, hasMode, mtime});
}

void TargetFolder::Finish() {
    // Deepest first, so that setting a folder's bits never shuts the engine out of a folder
    // below it.
    std::stable_sort(folders_.begin(), folders_.end(), [](const auto& a, const auto& b) {
        return std::count(a.relative.begin(), a.relative.end(), '/') >
               std::count(b.relative.begin(), b.relative.end(), '/');
    });
    for (const FolderTimes& f : folders_) {
        std::string failed;
        const int fd = Folder(f.relative, failed);
        if (fd < 0) {
            continue;
        }
        if (f.hasMode) {
            ::fchmod(fd, f.mode);
        }
        const struct timespec times[2] = {{f.mtime, 0}, {f.mtime, 0}};
        ::futimens(fd, times);
    }
    folders_.clear();
    CloseAll();
}

mode_t CurrentUmask() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr) {
        return 0777;
    }
    char line[256];
    mode_t mask = 0777;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value & 0777);
            break;
        }
    }
    std::fclose(f);
    return mask;
}

int CreateFileIn(int folder, const char* name, mode_t mode) {
    return ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, 1u << 30));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace bq::unzipengine
