#pragma once

#include "process/ChildProcess.h"
#include "process/ProgressDisplay.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace bq {

// Waits for a started child on the user-interface thread: polls every 100 ms while yielding to
// the message loop and animates the bar ("Please wait.. " and a counter from the fifth second,
// the value creeping towards the item's share), then shows the caption again and gives the
// child's exit code. stopWaiting, when given, is asked at every poll: once it says true the wait
// ends although the child still runs (the caller then ends the child) and gives -1.
std::int32_t WaitForChild(ChildProcess& child, ProgressDisplay* bar, const QString& caption,
                          std::int32_t startValue, std::int32_t itemCount,
                          const std::function<bool()>& stopWaiting = {});

// Starts commandLine (split with SplitCommandLine) and waits for it as above. windowStyle:
// missing, below 0 or above 6 becomes 6 (the converter shows no window either way). A command
// that cannot be started gives kStartErrorBase plus the error number at once, without touching
// the bar. spec gives everything but the program and its arguments.
std::int32_t RunAndWait(const QString& commandLine, std::optional<int> windowStyle,
                        ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                        std::int32_t itemCount, const ChildSpec& spec = {});

// Waits for a child while the message loop turns, checking it every few milliseconds, for at
// most timeoutMs; true once it has ended (and been reaped), false when the time ran out (the
// child still runs).
bool WaitBriefly(ChildProcess& child, int timeoutMs);

}  // namespace bq
