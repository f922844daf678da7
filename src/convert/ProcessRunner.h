#pragma once

#include "convert/ProgressDisplay.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <cstdint>
#include <optional>

namespace bq {

// The result RunAndWait gives when a command cannot be started: this plus the error's number.
inline constexpr std::int32_t kStartErrorBase = -2147221504;

// How a child is started beyond its command line.
struct ChildOptions {
    QString logFile;        // standard output and error are appended here; "" discards them
    QString workingFolder;  // "" keeps the program's current folder
    int niceness = 0;       // added to the child's scheduling priority
};

// Splits a command line into its arguments: double quotes group an argument; inside quotes \" is
// a quote and \\ a backslash. Never goes through a shell.
QStringList SplitCommandLine(const QString& commandLine);
// Quotes one argument so that SplitCommandLine gives it back unchanged, whatever it holds.
QString QuoteArgument(const QString& argument);

// One started child process, in a process group of its own, with empty standard input. It is
// always reaped: destroying a child that still runs ends its whole group and waits for it.
class ChildProcess {
  public:
    // Starts the command line; on failure gives no child and sets startError to the run-time
    // error number (53 missing program, 70 permission denied, 5 anything else).
    static std::optional<ChildProcess> Start(const QString& commandLine,
                                             const ChildOptions& options, int& startError);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return m_pid; }
    // True once the child has ended (reaps it, and kills what it left running in its group);
    // ExitCode() is then its exit status, or 128 + the signal that ended it (-1 when something
    // else in the program reaped it first).
    bool HasEnded();
    std::int32_t ExitCode() const { return m_exitCode; }
    // Whether a signal ended the child, and which (0 when it exited by itself): an exit status of
    // 128 or more that the child gave itself is no signal, though ExitCode() reads the same.
    bool WasSignalled() const { return m_termSignal != 0; }
    int TermSignal() const { return m_termSignal; }
    // Ends the child's whole process group (SIGTERM, then SIGKILL after a short grace) and reaps
    // the child. Does nothing once the child has ended and been reaped.
    void EndGroup();
    // Sends the group SIGTERM only. Several children asked first and then ended one by one share
    // one grace period instead of waiting out one each.
    void AskToEnd();

  private:
    explicit ChildProcess(pid_t pid) : m_pid(pid) {}
    pid_t m_pid = -1;
    bool m_ended = false;
    std::int32_t m_exitCode = 0;
    int m_termSignal = 0;
};

// Waits for a started child on the user-interface thread: polls every 100 ms while yielding to
// the message loop and animates the bar ("Please wait.. " and a counter from the fifth second,
// the value creeping towards the item's share), then shows the caption again and gives the
// child's exit code.
std::int32_t WaitForChild(ChildProcess& child, ProgressDisplay* bar, const QString& caption,
                          std::int32_t startValue, std::int32_t itemCount);

// Starts commandLine and waits for it as above. windowStyle: missing, below 0 or above 6 becomes
// 6 (the converter shows no window either way). A command that cannot be started gives
// kStartErrorBase plus the error number at once, without touching the bar.
std::int32_t RunAndWait(const QString& commandLine, std::optional<int> windowStyle,
                        ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                        std::int32_t itemCount, const ChildOptions& options = {});

// Ends every child this program started that still runs (the window is closing), each with its
// group, as EndGroup does. Children are started, waited for and ended on one thread.
void EndAllChildren();

}  // namespace bq
