#pragma once

#include "convert/KindleChoices.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

namespace bq {

// What `brindlequill --convert` is asked to do.
// Paths are the bytes given, so that a name that is not valid UTF-8 still names its file.
struct ConvertRequest {
    QList<QByteArray> paths;  // books and folders, as given
    QByteArray outputFolder;  // "" : next to each source
    int jobs = 0;             // converters at once
    std::chrono::seconds timeLimit{0};
    std::uint64_t memoryBudget = 0;  // bytes for all converters together; 0: the setting's
    QString extension = QStringLiteral("epub");  // what the folders are scanned for
    bool skipExisting = false;
    // --kindle-format, --device and --keep-folders (skipUpToDate stays false: skipExisting says).
    KindleChoices choices;
    bool quiet = false;
    QByteArray summaryJson;  // "" : none
};

// What the program's arguments ask for.
struct ProgramArguments {
    enum class Mode { Window, Help, Version, Convert, UsageError };
    Mode mode = Mode::Window;
    QStringList windowPaths;  // Window: files and folders that join the list
    ConvertRequest convert;   // Convert
    QString usageError;       // UsageError: one line saying what is wrong and what to do
};

// Reads the program's arguments (without its own name). Anything that starts with "-" and is not
// an option is a usage error, never a book; "--" ends the options, so that a path may start with
// "-". The arguments are as TextKeepingBytes gives them (see platform/ByteText.h). defaultJobs:
// the converters at once when --jobs is not given.
ProgramArguments ParseProgramArguments(const QStringList& arguments, int defaultJobs);

// The text of --help.
QString HelpText();

}  // namespace bq
