#pragma once

#include "cli/ProgramArguments.h"

namespace bq {

// The exit statuses of a conversion without a window.
inline constexpr int kExitAllConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitConverterUnavailable = 3;
inline constexpr int kExitInterrupted = 130;  // Ctrl-C (SIGINT)

// The status of a run ended by a signal, as a shell gives it: 128 + the signal's number (130 for
// SIGINT, 143 for SIGTERM, 129 for SIGHUP).
inline constexpr int ExitStatusForSignal(int signalNumber) {
    return 128 + signalNumber;
}

// Converts the books and folders of the request with the window's conversion run, without a
// window: a QCoreApplication must exist. Paths that do not exist, folders without books, an
// output folder that cannot be written and a summary file that cannot be written or would
// replace a book or an output end it before anything is converted. Gives the exit status.
int ConvertWithoutWindow(const ConvertRequest& request);

}  // namespace bq
