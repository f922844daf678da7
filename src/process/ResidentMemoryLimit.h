#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

namespace bq {

// How a child's memory limit (ChildSpec::memoryLimit) is held when the child asks for a limit on
// resident memory where possible (ChildSpec::residentWherePossible: the converters).
//
// Where the system gives a limit on resident memory the child gets one: it runs in a scope of
// the user's systemd instance (systemd-run --user --scope) with MemoryMax at the limit and no
// swap, which needs cgroup v2 with its memory controller handed to the user's instance. Elsewhere
// (cgroup v1 or a hybrid one, no user instance, no systemd-run) its address space is limited
// (RLIMIT_AS) instead. The way is found once per program and noted once in the log.
class ResidentMemoryLimit {
  public:
    // True when children get a resident memory limit.
    static bool Available();
    // The program that starts a child under the limit, and the arguments that go before the
    // child's own program and arguments.
    static QString Launcher();
    static QStringList LauncherArguments(std::uint64_t bytes);
    // Why there is none ("" when there is one), as the log says it.
    static QString Unavailable();
};

}  // namespace bq
