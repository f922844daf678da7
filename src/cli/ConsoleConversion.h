#pragma once

#include "cli/ProgramArguments.h"

#include <QByteArray>
#include <QList>

namespace bq {

// The exit statuses of a conversion without a window.
inline constexpr int kExitAllConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitConverterUnavailable = 3;
inline constexpr int kExitInterrupted = 130;

// Converts the books and folders of the request with the window's conversion run, without a
// window: a QCoreApplication must exist. Paths that do not exist, folders without books and an
// output folder that cannot be written end it before anything is converted. rawArguments: the
// program's arguments as bytes, to refuse names that cannot be handed on intact. Gives the exit
// status.
int ConvertWithoutWindow(const ConvertRequest& request, const QList<QByteArray>& rawArguments);

}  // namespace bq
