// Starting, watching and ending one child process: fork and exec without a shell, the child in a
// process group (or session) of its own so that everything it starts can be ended with it, and
// dead with the program whatever ends the program.
#include "process/ChildProcess.h"

#include "platform/RunTimeError.h"
#include "process/ProcessTable.h"
#include "process/ResidentMemoryLimit.h"

#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace bq {

namespace {

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

// The program's environment with the child's changes, as exec wants it.
std::vector<QByteArray> ChildEnvironment(const std::vector<EnvironmentChange>& changes) {
    std::vector<QByteArray> entries;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        const QByteArray entry(*variable);
        const qsizetype equals = entry.indexOf('=');
        const QByteArray name = equals < 0 ? entry : entry.left(equals);
        const bool changed =
            std::any_of(changes.begin(), changes.end(),
                        [&name](const auto& change) { return change.name == name; });
        if (!changed) {
            entries.push_back(entry);
        }
    }
    for (const EnvironmentChange& change : changes) {
        if (change.value) {
            entries.push_back(change.name + '=' + *change.value);
        }
    }
    return entries;
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

// What exec needs, made before fork: the child may not allocate.
struct ExecPlan {
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int input = -1;
    int output = -1;
    int errorPipe = -1;
    const char* workingFolder = nullptr;
    pid_t parent = 0;
    bool ownSession = false;
    std::uint64_t memoryLimit = 0;
};

// Runs in the child between fork and exec: only async-signal-safe calls, nothing allocated.
[[noreturn]] void ExecChild(const ExecPlan& plan) {
    int errorPipe = plan.errorPipe;
    int failure = 0;
    // Dies with the program; a program that ended before this line leaves the child orphaned,
    // which the parent test catches.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.parent) {
        _exit(127);
    }
    if (plan.ownSession) {
        setsid();
    } else {
        setpgid(0, 0);
    }
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

    if (plan.memoryLimit > 0) {
        const struct rlimit limit {
            static_cast<rlim_t>(plan.memoryLimit), static_cast<rlim_t>(plan.memoryLimit)
        };
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            failure = errno;
        }
    }
    if (failure == 0 &&
        (dup2(plan.input, STDIN_FILENO) < 0 || dup2(plan.output, STDOUT_FILENO) < 0 ||
         dup2(plan.output, STDERR_FILENO) < 0)) {
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
        if (plan.workingFolder != nullptr && chdir(plan.workingFolder) != 0) {
            failure = errno;
        }
    }
    if (failure == 0) {
        execve(plan.program, plan.argv, plan.envp);
        failure = errno;
    }
    [[maybe_unused]] const ssize_t written = write(errorPipe, &failure, sizeof failure);
    _exit(127);
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const ChildSpec& spec, int& startError) {
    startError = 0;
    QByteArray program;
    int errnoValue = 0;
    if (!ResolveProgram(spec.program, program, errnoValue)) {
        startError = StartErrorFromErrno(errnoValue);
        return std::nullopt;
    }
    // Under a resident memory limit the child starts through the launcher that sets it, which
    // becomes the child's program (the same process, in a scope of its own).
    QString programName = spec.program;
    QStringList argumentList = spec.arguments;
    std::uint64_t addressSpaceLimit = spec.memoryLimit;
    const bool resident =
        spec.memoryLimit > 0 && spec.residentWherePossible && ResidentMemoryLimit::Available();
    if (resident) {
        argumentList = ResidentMemoryLimit::LauncherArguments(spec.memoryLimit);
        argumentList << QFile::decodeName(program) << spec.arguments;
        programName = ResidentMemoryLimit::Launcher();
        addressSpaceLimit = 0;
        if (!ResolveProgram(programName, program, errnoValue)) {
            startError = StartErrorFromErrno(errnoValue);
            return std::nullopt;
        }
    }

    // Everything the child needs is made before fork.
    std::vector<QByteArray> arguments;
    arguments.reserve(static_cast<std::size_t>(argumentList.size()) + 1);
    arguments.push_back(QFile::encodeName(programName));
    for (const QString& argument : argumentList) {
        arguments.push_back(QFile::encodeName(argument));
    }
    std::vector<char*> argv;
    for (QByteArray& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<QByteArray> environment = ChildEnvironment(spec.environment);
    std::vector<char*> envp;
    for (QByteArray& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const QByteArray workingFolder = QFile::encodeName(spec.workingFolder);

    const Descriptor input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    const Descriptor output(spec.logFile.isEmpty()
                                ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                                : open(QFile::encodeName(spec.logFile).constData(),
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

    ExecPlan plan;
    plan.program = program.constData();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.input = input.get();
    plan.output = output.get();
    plan.errorPipe = writeEnd.get();
    plan.workingFolder = workingFolder.isEmpty() ? nullptr : workingFolder.constData();
    plan.parent = getpid();
    plan.ownSession = spec.ownSession;
    plan.memoryLimit = addressSpaceLimit;

    const pid_t pid = fork();
    if (pid < 0) {
        startError = StartErrorFromErrno(errno);
        return std::nullopt;
    }
    if (pid == 0) {
        ExecChild(plan);
    }
    if (!spec.ownSession) {
        // Set here too, so the group exists before anyone may want to end it.
        setpgid(pid, pid);
    }
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
    if (spec.niceness != 0) {
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, 0);
        if (errno == 0) {
            // A priority the user may not lower stays as it is; the child still runs.
            setpriority(PRIO_PROCESS, static_cast<id_t>(pid),
                        std::clamp(current + spec.niceness, -20, 19));
        }
    }
    ChildProcess child(pid, spec.ownSession);
    child.m_residentLimit = resident;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid),
      m_ownSession(other.m_ownSession),
      m_residentLimit(other.m_residentLimit),
      m_ended(other.m_ended),
      m_exitCode(other.m_exitCode),
      m_signal(other.m_signal) {
    other.m_pid = -1;
    other.m_ended = true;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        EndGroup();
        m_pid = other.m_pid;
        m_ownSession = other.m_ownSession;
        m_residentLimit = other.m_residentLimit;
        m_ended = other.m_ended;
        m_exitCode = other.m_exitCode;
        m_signal = other.m_signal;
        other.m_pid = -1;
        other.m_ended = true;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    EndGroup();
}

// Kills whatever is left of the child's group (the child itself when it ignored SIGTERM, anything
// it started and left behind) and, for a session, of every group in it; then reaps the child.
void ChildProcess::KillRemnantsAndReap() {
    if (kill(-m_pid, SIGKILL) != 0) {
        kill(m_pid, SIGKILL);
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(m_pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    m_exitCode = -1;
    m_signal = 0;
    if (result == m_pid) {
        if (WIFEXITED(status)) {
            m_exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            m_signal = WTERMSIG(status);
            m_exitCode = 128 + m_signal;
        }
    }
    // The session keeps its number after its leader is gone; what is still in it goes too. A
    // killed process with a large address space takes a while to leave the table, so the rounds
    // go on until the session is empty (one stuck in the kernel is given up on after a while).
    const auto deadline = std::chrono::steady_clock::now() + kRemnantWait;
    while (m_ownSession) {
        const std::vector<pid_t> left = SessionMembers(m_pid);
        if (left.empty() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        for (const pid_t member : left) {
            kill(member, SIGKILL);
        }
        QThread::msleep(5);
    }
    m_ended = true;
}

bool ChildProcess::HasEnded() {
    if (m_ended || m_pid <= 0) {
        return true;
    }
    if (!LeaderHasExited(m_pid)) {
        return false;
    }
    KillRemnantsAndReap();
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

void ChildProcess::Kill() {
    if (m_ended || m_pid <= 0) {
        return;
    }
    KillRemnantsAndReap();
}

void ChildProcess::EndGroup() {
    EndTogether({this});
}

void ChildProcess::EndTogether(const std::vector<ChildProcess*>& children,
                               std::chrono::milliseconds grace,
                               const std::function<void()>& meanwhile) {
    std::vector<ChildProcess*> running;
    for (ChildProcess* child : children) {
        if (child != nullptr && !child->m_ended && child->m_pid > 0) {
            running.push_back(child);
        }
    }
    for (ChildProcess* child : running) {
        child->AskToEnd();
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        const bool allExited = std::all_of(running.begin(), running.end(), [](ChildProcess* child) {
            return LeaderHasExited(child->m_pid);
        });
        if (allExited || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        if (meanwhile) {
            meanwhile();
        }
        QThread::msleep(5);
    }
    for (ChildProcess* child : running) {
        child->KillRemnantsAndReap();
    }
}

}  // namespace bq
