// RunAndWait: start a command line and wait for it on the user-interface thread.
#include "convert/ProcessRunner.h"

#include "convert/WaitProgress.h"

namespace bq {

std::int32_t WaitForChild(ChildProcess& child, ProgressDisplay* bar, const QString& caption,
                          std::int32_t startValue, std::int32_t itemCount) {
    PollUntilEnded([&child] { return child.HasEnded(); }, PauseInMessageLoop, bar, caption,
                   startValue, itemCount);
    return child.ExitCode();
}

std::int32_t RunAndWait(const QString& commandLine, std::optional<int> windowStyle,
                        ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                        std::int32_t itemCount, const ChildOptions& options) {
    // Every show state starts the converter the same way: it is a console program.
    [[maybe_unused]] const int showState = NormalisedWindowStyle(windowStyle);
    int startError = 0;
    std::optional<ChildProcess> child = ChildProcess::Start(commandLine, options, startError);
    if (!child) {
        return kStartErrorBase + startError;
    }
    // An error out of the wait (a bar setter, an item count of 0) ends the child on the way out.
    return WaitForChild(*child, bar, caption, startValue, itemCount);
}

}  // namespace bq
