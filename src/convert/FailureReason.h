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

// What the runner's result says about a converter that exited without success by itself, when
// its log says nothing: its exit code (whatever its size: 128 and above is no signal here), or
// why it could not start.
QString ReasonFromExitCode(std::int32_t exitCode);

// Whether a converter that failed ran out of memory under its memory limit, as its log says
// (Python's MemoryError, a failed allocation in native code).
bool ConverterRanOutOfMemory(const QString& logFile);

// Whether a converter that failed ran out of room on the disk, as its log says.
bool ConverterRanOutOfSpace(const QString& logFile);

// The reason for a converter that the signal ended.
QString ReasonFromSignal(int signal);

}  // namespace bq
