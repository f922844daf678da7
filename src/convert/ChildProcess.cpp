// Starting, watching and ending one child process: fork and exec without a shell, the child in a
// process group of its own so that everything it starts can be ended with it.
#include "convert/ProcessRunner.h"

#include "platform/RunTimeError.h"

#include <QByteArray>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace bq {

namespace {

// How long a group asked to end (SIGTERM) has before it is killed (SIGKILL).
constexpr std::chrono::milliseconds kEndGrace{500};

// The children that still run, so that EndAllChildren can end them when the window closes.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<pid_t, ChildProcess*>& Registry() {
    static std::unordered_map<pid_t, ChildProcess*> registry;
    return registry;
}

void Register(pid_t pid, ChildProcess* child) {
    const std::lock_guard lock(RegistryMutex());
    Registry()[pid] = child;
}

void Unregister(pid_t pid) {
    const std::lock_guard lock(RegistryMutex());
    Registry().erase(pid);
}

// Start errors as the runner reports them: missing 53, permission denied 70, anything else 5.
int StartErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return ErrFileNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case ETXTBSY:
            return ErrPermissionDenied;
        default:
            return ErrInvalidCall;
    }
}

// Whether path names a file this user may run; errnoValue says why not.
bool IsRunnable(const QByteArray& path, int& errnoValue) {
    struct stat info {};
    if (stat(path.constData(), &info) != 0) {
        errnoValue = errno;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errnoValue = EACCES;
        return false;
    }
    if (access(path.constData(), X_OK) != 0) {
        errnoValue = errno;
        return false;
    }
    return true;
}

// The file a program name stands for: a name holding "/" as it is, any other name looked up in
// the folders of PATH as the shell would, without running a shell.
bool ResolveProgram(const QString& program, QByteArray& resolved, int& errnoValue) {
    const QByteArray name = QFile::encodeName(program);
    if (name.isEmpty()) {
        errnoValue = ENOENT;
        return false;
    }
    if (name.contains('/')) {
        resolved = name;
        return IsRunnable(resolved, errnoValue);
    }
    const char* pathVariable = getenv("PATH");
    const QByteArray folders = pathVariable != nullptr ? QByteArray(pathVariable)
                                                       : QByteArray("/usr/local/bin:/usr/bin:/bin");
    bool sawDenied = false;
    for (const QByteArray& folder : folders.split(':')) {
        const QByteArray candidate =
            (folder.isEmpty() ? QByteArray(".") : folder) + QByteArrayLiteral("/") + name;
        int candidateErrno = 0;
        if (IsRunnable(candidate, candidateErrno)) {
            resolved = candidate;
            return true;
        }
        sawDenied = sawDenied || candidateErrno == EACCES;
    }
    errnoValue = sawDenied ? EACCES : ENOENT;
    return false;
}

// Keeps a descriptor clear of standard input, output and error, so that the child's dup2 calls
// never overwrite one another's source. Gives -1 (and closes fd) on failure.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : m_fd(AboveStandardStreams(fd)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    int get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

  private:
    int m_fd;
};

std::int32_t ExitCodeFromStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Whether the child has exited, without reaping it: an unreaped child keeps its number, and
// with it its process group's, from being given to another process.
bool LeaderHasExited(pid_t pid) {
    siginfo_t info{};
    int result = 0;
    do {
        result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    // ECHILD: something else in the program reaped it (SIGCHLD ignored).
    return result < 0 || info.si_pid == pid;
}

// Kills whatever is left of the child's group (the child itself when it ignored SIGTERM, anything
// it started and left behind), then reaps the child and gives its exit code (-1 when something
// else reaped it first); termSignal is the signal that ended it, 0 when it exited by itself.
std::int32_t KillRemnantsAndReap(pid_t pid, int& termSignal) {
    if (kill(-pid, SIGKILL) != 0) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    termSignal = result == pid && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result == pid ? ExitCodeFromStatus(status) : -1;
}

// Runs in the child between fork and exec: only async-signal-safe calls, nothing allocated.
[[noreturn]] void ExecChild(const char* program, char* const* argv, int input, int output,
                            int errorPipe, const char* workingFolder) {
    setpgid(0, 0);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber != SIGKILL && signalNumber != SIGSTOP) {
            sigaction(signalNumber, &defaultAction, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    int failure = 0;
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(output, STDERR_FILENO) < 0) {
        failure = errno;
    }
    // The error pipe moves to descriptor 3 so that every other inherited descriptor can go.
    if (failure == 0 && errorPipe != 3) {
        if (dup2(errorPipe, 3) < 0) {
            failure = errno;
        } else {
            errorPipe = 3;
        }
    }
    if (failure == 0) {
        fcntl(errorPipe, F_SETFD, FD_CLOEXEC);
        close_range(4, ~0U, 0);  // not supported by an old kernel: descriptors keep CLOEXEC
        if (workingFolder != nullptr && chdir(workingFolder) != 0) {
            failure = errno;
        }
    }
    if (failure == 0) {
        execv(program, argv);
        failure = errno;
    }
    [[maybe_unused]] const ssize_t written = write(errorPipe, &failure, sizeof failure);
    _exit(127);
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const QString& commandLine,
                                                const ChildOptions& options, int& startError) {
    startError = 0;
    const QStringList arguments = SplitCommandLine(commandLine);
    if (arguments.isEmpty()) {
        startError = ErrInvalidCall;
        return std::nullopt;
    }
    QByteArray program;
    int errnoValue = 0;
    if (!ResolveProgram(arguments.first(), program, errnoValue)) {
        startError = StartErrorFromErrno(errnoValue);
        return std::nullopt;
    }

    // Everything the child needs is made before fork: the child may not allocate.
    std::vector<QByteArray> encoded;
    encoded.reserve(static_cast<std::size_t>(arguments.size()));
    for (const QString& argument : arguments) {
        encoded.push_back(QFile::encodeName(argument));
    }
    std::vector<char*> argv;
    for (QByteArray& argument : encoded) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const QByteArray workingFolder = QFile::encodeName(options.workingFolder);

    const Descriptor input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    const Descriptor output(options.logFile.isEmpty()
                                ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                                : open(QFile::encodeName(options.logFile).constData(),
                                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (output.get() < 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    int pipeEnds[2] = {-1, -1};
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    Descriptor readEnd(pipeEnds[0]);
    Descriptor writeEnd(pipeEnds[1]);
    if (readEnd.get() < 0 || writeEnd.get() < 0) {
        startError = ErrInvalidCall;
        return std::nullopt;
    }

    const pid_t pid = fork();
    if (pid < 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    if (pid == 0) {
        ExecChild(program.constData(), argv.data(), input.get(), output.get(), writeEnd.get(),
                  workingFolder.isEmpty() ? nullptr : workingFolder.constData());
    }
    // Set here too, so the group exists before anyone may want to end it.
    setpgid(pid, pid);
    writeEnd.Close();

    // The pipe closes on a successful exec; otherwise it brings the reason.
    int childErrno = 0;
    ssize_t got = 0;
    do {
        got = read(readEnd.get(), &childErrno, sizeof childErrno);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        startError = StartErrorFromErrno(childErrno);
        return std::nullopt;
    }
    // The lower priority is given once the program runs: lowered before its exec, the child would
    // keep the window waiting here until a busy machine got round to it.
    if (options.niceness != 0) {
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, 0);
        if (errno == 0) {
            // A priority the user may not lower stays as it is; the child still runs.
            setpriority(PRIO_PROCESS, static_cast<id_t>(pid),
                        std::clamp(current + options.niceness, -20, 19));
        }
    }
    // Moving the child into place registers it where it lives.
    std::optional<ChildProcess> child;
    child.emplace(ChildProcess(pid));
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid),
      m_ended(other.m_ended),
      m_exitCode(other.m_exitCode),
      m_termSignal(other.m_termSignal) {
    other.m_pid = -1;
    other.m_ended = true;
    if (m_pid > 0 && !m_ended) {
        Register(m_pid, this);
    }
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        EndGroup();
        m_pid = other.m_pid;
        m_ended = other.m_ended;
        m_exitCode = other.m_exitCode;
        m_termSignal = other.m_termSignal;
        other.m_pid = -1;
        other.m_ended = true;
        if (m_pid > 0 && !m_ended) {
            Register(m_pid, this);
        }
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    EndGroup();
}

bool ChildProcess::HasEnded() {
    if (m_ended || m_pid <= 0) {
        return true;
    }
    if (!LeaderHasExited(m_pid)) {
        return false;
    }
    m_exitCode = KillRemnantsAndReap(m_pid, m_termSignal);
    m_ended = true;
    Unregister(m_pid);
    return true;
}

void ChildProcess::AskToEnd() {
    if (m_ended || m_pid <= 0) {
        return;
    }
    if (kill(-m_pid, SIGTERM) != 0) {
        kill(m_pid, SIGTERM);
    }
}

void ChildProcess::EndGroup() {
    if (m_ended || m_pid <= 0) {
        return;
    }
    AskToEnd();
    const auto deadline = std::chrono::steady_clock::now() + kEndGrace;
    while (!LeaderHasExited(m_pid) && std::chrono::steady_clock::now() < deadline) {
        QThread::msleep(10);
    }
    m_exitCode = KillRemnantsAndReap(m_pid, m_termSignal);
    m_ended = true;
    Unregister(m_pid);
}

void EndAllChildren() {
    std::vector<ChildProcess*> running;
    {
        const std::lock_guard lock(RegistryMutex());
        for (const auto& entry : Registry()) {
            running.push_back(entry.second);
        }
    }
    for (ChildProcess* child : running) {
        child->AskToEnd();
    }
    for (ChildProcess* child : running) {
        child->EndGroup();
    }
}

}  // namespace bq
