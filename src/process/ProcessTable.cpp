// Reading the process table from /proc.
#include "process/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bq {

std::vector<pid_t> SessionMembers(pid_t session) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        const std::string path = "/proc/" + std::string(entry->d_name) + "/stat";
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char buffer[1024];
        const ssize_t n = read(fd, buffer, sizeof buffer - 1);
        close(fd);
        if (n <= 0) {
            continue;
        }
        buffer[n] = '\0';
        // After the command's closing parenthesis: state, parent, group, session.
        const char* rest = std::strrchr(buffer, ')');
        char state = 0;
        long parent = 0, group = 0, itsSession = 0;
        if (rest != nullptr &&
            std::sscanf(rest + 1, " %c %ld %ld %ld", &state, &parent, &group, &itsSession) == 4 &&
            itsSession == session && state != 'Z') {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return found;
}

}  // namespace bq
