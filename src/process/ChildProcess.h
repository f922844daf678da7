#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace bq {

// The result RunAndWait gives when a command cannot be started: this plus the error's number.
inline constexpr std::int32_t kStartErrorBase = -2147221504;

// How long children asked to end (SIGTERM) have before they are killed (SIGKILL).
inline constexpr std::chrono::milliseconds kEndGrace{500};

// How long what is left of a killed child's session is waited for to leave the process table.
inline constexpr std::chrono::milliseconds kRemnantWait{400};

// One variable of a child's environment: set to value, or removed when there is none.
struct EnvironmentChange {
    QByteArray name;
    std::optional<QByteArray> value;
};

// Everything about how one child is started. Every child of the program is started from one of
// these, by ChildProcess::Start, so each concern below is dealt with in one place.
struct ChildSpec {
    QString program;        // a path, or a name looked up in PATH as a shell would
    QStringList arguments;  // after the program's name, each handed over exactly as it is
    QString logFile;        // standard output and error are appended here; "" discards them
    QString workingFolder;  // "" keeps the program's current folder
    int niceness = 0;       // added to the child's scheduling priority once it runs
    // Changes to the program's environment for this child only.
    std::vector<EnvironmentChange> environment;
    // A session of its own instead of only a process group: for a child that makes process
    // groups of its own, all of which end with it.
    bool ownSession = false;
    // The most memory the child may take, in bytes; 0: no limit. A limit on its address space
    // (RLIMIT_AS), or with residentWherePossible on its resident memory where the system gives
    // such a limit (see ResidentMemoryLimit; it costs a call to the user's systemd instance).
    std::uint64_t memoryLimit = 0;
    bool residentWherePossible = false;
};

// A child spec of a program and its arguments, everything else as default.
inline ChildSpec Command(const QString& program, const QStringList& arguments = {}) {
    ChildSpec spec;
    spec.program = program;
    spec.arguments = arguments;
    return spec;
}

// One started child process, always:
// - in a process group of its own (or a session, ChildSpec::ownSession), so that whatever it
//   starts ends with it;
// - with empty standard input, every signal at its default and none blocked, and no descriptor
//   of the program but its standard streams;
// - killed by the kernel when the program ends, however it ends (PR_SET_PDEATHSIG, checked
//   against a program that ended before it was set). The death signal follows the thread that
//   forked: children are started on the user-interface thread, which lives as long as the
//   program;
// - reaped: destroying a child that still runs ends its whole group and waits for it.
class ChildProcess {
  public:
    // Starts the child; on failure gives none and sets startError to the run-time error number
    // (53 missing program, 70 permission denied, 5 anything else).
    static std::optional<ChildProcess> Start(const ChildSpec& spec, int& startError);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return m_pid; }
    // True once the child has ended (reaps it, and kills what it left running in its group);
    // ExitCode() is then its exit status, or 128 + the signal that ended it (-1 when something
    // else in the program reaped it first).
    bool HasEnded();
    std::int32_t ExitCode() const { return m_exitCode; }
    // Whether the child was ended by a signal, and which; an exit status of 128 or more that
    // the child gave itself is no signal.
    bool WasSignalled() const { return m_signal != 0; }
    int TermSignal() const { return m_signal; }
    // Whether its memory limit is one on resident memory (the kernel kills it, SIGKILL, when it
    // would pass it) rather than on address space (its allocations fail).
    bool HasResidentLimit() const { return m_residentLimit; }

    // Sends the child's group (and, for a session, its leader's group) SIGTERM only.
    void AskToEnd();
    // Kills the whole group (or session) at once and reaps the child.
    void Kill();
    // Ends the child's group: asks, waits up to kEndGrace, kills what is left and reaps. Does
    // nothing once the child has ended and been reaped.
    void EndGroup();
    // Ends several children with one shared grace period: every one is asked first, then each
    // is killed and reaped once it has exited or the grace is over.
    // meanwhile, when given, runs at every look during the grace period (the window's message
    // loop turns there, so the window answers while its run ends).
    static void EndTogether(const std::vector<ChildProcess*>& children,
                            std::chrono::milliseconds grace = kEndGrace,
                            const std::function<void()>& meanwhile = {});

  private:
    ChildProcess(pid_t pid, bool ownSession) : m_pid(pid), m_ownSession(ownSession) {}
    void KillRemnantsAndReap();

    pid_t m_pid = -1;
    bool m_ownSession = false;
    bool m_residentLimit = false;
    bool m_ended = false;
    std::int32_t m_exitCode = 0;
    int m_signal = 0;
};

}  // namespace bq
