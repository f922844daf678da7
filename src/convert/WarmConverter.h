#pragma once

#include "process/ChildProcess.h"

#include <QString>

#include <sys/types.h>
#include <optional>
#include <vector>

namespace bq {

// The unpacked runtime's warm converter: one process that has calibre's conversion modules
// imported and converts each book handed to it by the runtime's ebook-convert in a child of its
// own. Without it (not started, not ready yet, gone) every launcher converts cold, so starting
// it is never required for a conversion to work; it only makes each one start sooner.
//
// It is started like every child of the program (ChildProcess), in a session of its own:
// stopping it ends that whole session (the warm converter, its supervisors and any conversion
// still running there) and reaps it. Stop it before the runtime folder is removed.
class WarmConverter {
  public:
    WarmConverter() = default;
    WarmConverter(const WarmConverter&) = delete;
    WarmConverter& operator=(const WarmConverter&) = delete;
    ~WarmConverter();

    // The runtime's file names, relative to its folder.
    static const char* const kProgramName;  // "warm-converter"
    static const char* const kSocketName;   // "warm.sock"

    // Starts runtimeFolder's warm converter with the environment changes and priority the
    // converters get (a launcher whose environment differs converts cold), its messages
    // appended to logFile ("" discards them). False when the runtime has none or it cannot be
    // started; conversions then run cold. A warm converter this object already runs is stopped
    // first.
    bool Start(const QString& runtimeFolder, const std::vector<EnvironmentChange>& environment,
               int niceness, const QString& logFile = QString());
    // Ends it and everything in its session (SIGTERM, after a short grace SIGKILL) and reaps
    // it. Does nothing when none runs.
    void Stop();
    bool IsRunning() const { return m_child.has_value(); }
    pid_t pid() const { return m_child ? m_child->pid() : -1; }
    // The child itself, so that a run ends it together with its converters; null when none
    // runs. Call Stop() afterwards all the same: it removes what a killed one leaves.
    ChildProcess* Child() { return m_child ? &*m_child : nullptr; }
    // The socket launchers hand their conversions over on; it exists once the warm converter
    // is ready.
    QString SocketPath() const;

  private:
    std::optional<ChildProcess> m_child;
    QString m_folder;
};

}  // namespace bq
