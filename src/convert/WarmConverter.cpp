#include "convert/WarmConverter.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bq {

const char* const WarmConverter::kProgramName = "warm-converter";
const char* const WarmConverter::kSocketName = "warm.sock";

namespace {

std::mutex g_mutex;
std::vector<WarmConverter*> g_running;

// The processes of a session, read from /proc (field 6 of /proc/PID/stat).
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

// Reaps pid, waiting at most waitMs; true once it is reaped (or is not our child any more).
bool Reap(pid_t pid, int waitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

WarmConverter::~WarmConverter() {
    Stop();
}

QString WarmConverter::SocketPath() const {
    return m_folder.isEmpty() ? QString()
                              : m_folder + QLatin1Char('/') + QLatin1String(kSocketName);
}

bool WarmConverter::Start(const QString& runtimeFolder, const QString& logFile) {
    Stop();
    const QByteArray folder = QFile::encodeName(runtimeFolder);
    QByteArray program =
        QFile::encodeName(runtimeFolder + QLatin1Char('/') + QLatin1String(kProgramName));
    struct stat st {};
    if (stat(program.constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        access(program.constData(), X_OK) != 0) {
        return false;
    }
    const QByteArray log = logFile.isEmpty() ? QByteArray("/dev/null") : QFile::encodeName(logFile);
    const int out = open(log.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0) {
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    // Its current folder is the runtime's, so it never keeps another folder busy.
    posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    // A session of its own (so one signal ends everything it runs), with no signal blocked or
    // ignored that this program blocks or ignores.
    sigset_t none, standard;
    sigemptyset(&none);
    sigemptyset(&standard);
    for (int signum = 1; signum < 32; ++signum) {
        if (signum != SIGKILL && signum != SIGSTOP) {
            sigaddset(&standard, signum);
        }
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &standard);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out);
    if (error != 0) {
        return false;
    }
    m_pid = pid;
    m_folder = runtimeFolder;
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_running.push_back(this);
    return true;
}

void WarmConverter::Stop() {
    if (m_pid <= 0) {
        return;
    }
    // Its process group holds the warm converter and its supervisors; each conversion has a
    // group of its own in the same session and ends with its supervisor.
    kill(-m_pid, SIGTERM);
    if (!Reap(m_pid, 2000)) {
        kill(-m_pid, SIGKILL);
        Reap(m_pid, 5000);
    }
    for (int round = 0; round < 3; ++round) {
        const std::vector<pid_t> left = SessionMembers(m_pid);
        if (left.empty()) {
            break;
        }
        for (const pid_t pid : left) {
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A warm converter that was killed leaves its socket behind.
    const QByteArray socketPath = QFile::encodeName(SocketPath());
    struct stat st {};
    if (lstat(socketPath.constData(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        unlink(socketPath.constData());
    }
    m_pid = -1;
    m_folder.clear();
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_running.erase(std::remove(g_running.begin(), g_running.end(), this), g_running.end());
}

void WarmConverter::StopAll() {
    std::vector<WarmConverter*> running;
    {
        const std::lock_guard<std::mutex> lock(g_mutex);
        running = g_running;
    }
    for (WarmConverter* warm : running) {
        warm->Stop();
    }
}

}  // namespace bq
