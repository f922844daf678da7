// The program's command line: the window's paths, or a conversion without a window.
#include "cli/ProgramArguments.h"

#include "convert/BookLimits.h"
#include "platform/WholeNumber.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace bq {

namespace {

constexpr int kMostJobs = 16;
constexpr int kShortestTimeLimit = 30;
constexpr int kLongestTimeLimit = 86400;
constexpr int kDefaultTimeLimit = 1800;

ProgramArguments Usage(const QString& what) {
    ProgramArguments result;
    result.mode = ProgramArguments::Mode::UsageError;
    result.usageError = what + QStringLiteral(" (see brindlequill --help)");
    return result;
}

}  // namespace

QString HelpText() {
    return QStringLiteral(
        "Usage: brindlequill [FILE|FOLDER]...\n"
        "       brindlequill --convert [OPTIONS] [--] PATH...\n"
        "\n"
        "Converts EPUB books into MOBI books with the calibre converter carried inside.\n"
        "Without --convert, opens the window; the files and folders named join its list.\n"
        "\n"
        "With --convert, converts without a window or display: each PATH is an EPUB file, or a\n"
        "folder whose books (and those of its sub-folders) are converted.\n"
        "  --output-folder DIR   put the MOBI books in DIR (default: next to each source)\n"
        "  --jobs K              convert K books at once (1 to 16; default: the cores, at most 4)\n"
        "  --time-limit SECONDS  stop a book that takes longer (30 to 86400; default 1800)\n"
        "  --memory-budget SIZE  the memory all converters may take together, e.g. 4G or\n"
        "                        4096M (at least 256M; default: half the computer's memory)\n"
        "  --extension EXT       in folders, convert the files ending in .EXT (default epub)\n"
        "  --skip-existing       skip a book whose MOBI exists and is newer than the book\n"
        "  --quiet               print only failures\n"
        "  --summary-json FILE   write every book's result to FILE as JSON\n"
        "  -h, --help            print this help\n"
        "  --version             print the version\n"
        "\n"
        "Exit status: 0 all converted (or skipped), 1 some failed, 2 usage error or nothing to\n"
        "convert, 3 the converter could not be prepared, 130 interrupted (Ctrl-C).\n");
}

ProgramArguments ParseProgramArguments(const QStringList& arguments, int defaultJobs) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption convert(QStringLiteral("convert"));
    const QCommandLineOption output(QStringLiteral("output-folder"), QString(),
                                    QStringLiteral("DIR"));
    const QCommandLineOption jobs(QStringLiteral("jobs"), QString(), QStringLiteral("K"));
    const QCommandLineOption timeLimit(QStringLiteral("time-limit"), QString(),
                                       QStringLiteral("SECONDS"));
    const QCommandLineOption memoryBudget(QStringLiteral("memory-budget"), QString(),
                                          QStringLiteral("SIZE"));
    const QCommandLineOption extension(QStringLiteral("extension"), QString(),
                                       QStringLiteral("EXT"));
    const QCommandLineOption skip(QStringLiteral("skip-existing"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption json(QStringLiteral("summary-json"), QString(),
                                  QStringLiteral("FILE"));
    parser.addOptions({help, version, convert, output, jobs, timeLimit, memoryBudget, extension,
                       skip, quiet, json});
    // The parser takes the first argument as the program's name.
    if (!parser.parse(QStringList{QStringLiteral("brindlequill")} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString name = unknown.first();
            return Usage(
                QStringLiteral("%1%2 is not an option; a path that starts with \"-\" "
                               "goes after \"--\"")
                    .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
        return Usage(parser.errorText());
    }
    ProgramArguments result;
    if (parser.isSet(help)) {
        result.mode = ProgramArguments::Mode::Help;
        return result;
    }
    if (parser.isSet(version)) {
        result.mode = ProgramArguments::Mode::Version;
        return result;
    }
    const QStringList paths = parser.positionalArguments();
    if (!parser.isSet(convert)) {
        for (const QCommandLineOption& only :
             {output, jobs, timeLimit, memoryBudget, extension, skip, quiet, json}) {
            if (parser.isSet(only)) {
                return Usage(QStringLiteral("--%1 goes with --convert").arg(only.names().first()));
            }
        }
        result.windowPaths = paths;
        return result;
    }
    ConvertRequest& request = result.convert;
    request.paths = paths;
    request.outputFolder = parser.value(output);
    request.jobs = defaultJobs;
    if (parser.isSet(jobs)) {
        const std::optional<int> value = WholeNumberIn(parser.value(jobs), 1, kMostJobs);
        if (!value) {
            return Usage(QStringLiteral("--jobs takes a whole number from 1 to %1, not \"%2\"")
                             .arg(kMostJobs)
                             .arg(parser.value(jobs)));
        }
        request.jobs = *value;
    }
    request.timeLimit = std::chrono::seconds(kDefaultTimeLimit);
    if (parser.isSet(timeLimit)) {
        const std::optional<int> value =
            WholeNumberIn(parser.value(timeLimit), kShortestTimeLimit, kLongestTimeLimit);
        if (!value) {
            return Usage(
                QStringLiteral("--time-limit takes a whole number of seconds from %1 to %2, not "
                               "\"%3\"")
                    .arg(kShortestTimeLimit)
                    .arg(kLongestTimeLimit)
                    .arg(parser.value(timeLimit)));
        }
        request.timeLimit = std::chrono::seconds(*value);
    }
    if (parser.isSet(memoryBudget)) {
        const std::optional<std::uint64_t> bytes = MemorySizeFromText(parser.value(memoryBudget));
        if (!bytes) {
            return Usage(QStringLiteral("--memory-budget takes a size such as 4G or 4096M (at "
                                        "least 256M), not \"%1\"")
                             .arg(parser.value(memoryBudget)));
        }
        request.memoryBudget = *bytes;
    }
    if (parser.isSet(extension)) {
        request.extension = parser.value(extension);
        if (request.extension.isEmpty() || request.extension.contains(QLatin1Char('/'))) {
            return Usage(QStringLiteral("--extension takes a file name ending such as epub"));
        }
    }
    request.skipExisting = parser.isSet(skip);
    request.quiet = parser.isSet(quiet);
    request.summaryJson = parser.value(json);
    if (paths.isEmpty()) {
        return Usage(QStringLiteral("--convert needs the books or folders to convert"));
    }
    result.mode = ProgramArguments::Mode::Convert;
    return result;
}

}  // namespace bq
