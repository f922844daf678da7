// RunAndWait: start a command line and wait for it on the user-interface thread.
#include "process/ProcessRunner.h"

#include "platform/MessageLoop.h"
#include "platform/RunTimeError.h"
#include "process/CommandLine.h"
#include "process/WaitProgress.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

namespace bq {

std::int32_t WaitForChild(ChildProcess& child, ProgressDisplay* bar, const QString& caption,
                          std::int32_t startValue, std::int32_t itemCount,
                          const std::function<bool()>& stopWaiting) {
    bool stopped = false;
    PollUntilEnded(
        [&] {
            if (stopWaiting && stopWaiting()) {
                stopped = true;
                return true;
            }
            return child.HasEnded();
        },
        PauseInMessageLoop, bar, caption, startValue, itemCount);
    return stopped && !child.HasEnded() ? -1 : child.ExitCode();
}

std::int32_t RunAndWait(const QString& commandLine, std::optional<int> windowStyle,
                        ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                        std::int32_t itemCount, const ChildSpec& spec) {
    // Every show state starts the converter the same way: it is a console program.
    [[maybe_unused]] const int showState = NormalisedWindowStyle(windowStyle);
    QStringList arguments = SplitCommandLine(commandLine);
    if (arguments.isEmpty()) {
        return kStartErrorBase + ErrInvalidCall;
    }
    ChildSpec command = spec;
    command.program = arguments.takeFirst();
    command.arguments = arguments;
    int startError = 0;
    std::optional<ChildProcess> child = ChildProcess::Start(command, startError);
    if (!child) {
        return kStartErrorBase + startError;
    }
    // An error out of the wait (a bar setter, an item count of 0) ends the child on the way out.
    return WaitForChild(*child, bar, caption, startValue, itemCount);
}

bool WaitBriefly(ChildProcess& child, int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    // Quick children (a check of one file) end within milliseconds: look often at first.
    int pause = 1;
    while (!child.HasEnded()) {
        if (waited.elapsed() >= timeoutMs) {
            return false;
        }
        YieldToMessageLoop();
        QThread::msleep(static_cast<unsigned long>(pause));
        pause = std::min(pause * 2, 10);
    }
    return true;
}

}  // namespace bq
