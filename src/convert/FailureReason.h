#pragma once

#include <QString>

#include <cstdint>

namespace bq {

// The reason a conversion failed, in the user's words, from the converter's log: its last
// meaningful line ("not a valid EPUB file (could not find opf)", "protected by DRM", ...), with
// the source's full path shortened to its name. "" when the log says nothing.
QString ReasonFromConverterLog(const QString& logText, const QString& sourcePath);

// The same, read from the end of a log file.
QString ReasonFromConverterLogFile(const QString& logFile, const QString& sourcePath);

// What the runner's result says about a converter that did not succeed, when its log says
// nothing: the exit code, the signal that ended it, or why it could not start.
QString ReasonFromExitCode(std::int32_t exitCode);

// Whether a converter that failed ran out of memory under its memory limit, as its log says
// (Python's MemoryError, a failed allocation in native code).
bool ConverterRanOutOfMemory(const QString& logFile);

}  // namespace bq
