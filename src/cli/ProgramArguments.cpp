// The program's command line: the window's paths, or a conversion without a window.
#include "cli/ProgramArguments.h"

#include "convert/BookLimits.h"
#include "convert/ConverterSlots.h"
#include "platform/ByteText.h"
#include "platform/WholeNumber.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace bq {

namespace {

// The command line takes the same limits as the settings.
constexpr int kMostJobs = kMostConverters;
constexpr int kShortestTimeLimit = kShortestBookTimeLimitSeconds;
constexpr int kLongestTimeLimit = kLongestBookTimeLimitSeconds;
constexpr int kDefaultTimeLimit = kDefaultBookTimeLimitSeconds;

ProgramArguments Usage(const QString& what) {
    ProgramArguments result;
    result.mode = ProgramArguments::Mode::UsageError;
    result.usageError = what + QStringLiteral(" (see brindlequill --help)");
    return result;
}

QStringList ProfileNames() {
    QStringList names;
    for (const KindleProfile& profile : KindleProfiles()) {
        names << QLatin1String(profile.name);
    }
    return names;
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
               "With --convert, converts without a window or display: each PATH is an EPUB file, "
               "or a\n"
               "folder whose books (and those of its sub-folders) are converted.\n"
               "  --output-folder DIR   put the MOBI books in DIR (default: next to each source)\n"
               "  --jobs K              convert K books at once (1 to 16; default: the cores, at "
               "most 4)\n"
               "  --time-limit SECONDS  stop a book that takes longer (30 to 86400; default 1800)\n"
               "  --memory-budget SIZE  the memory all converters may take together, e.g. 4G or\n"
               "                        4096M (at least 256M; default: half the computer's "
               "memory)\n"
               "  --extension EXT       in folders, convert the files ending in .EXT (default "
               "epub)\n"
               "  --skip-existing       skip a book whose MOBI exists and is newer than the book\n"
               "  --kindle-format mobi6|joint\n"
               "                        mobi6: an old-style MOBI 6 file (default); joint: MOBI 6 "
               "and\n"
               "                        KF8 in one file, which shows its cover on every Kindle\n"
               "  --device NAME         lay the books out for a Kindle (calibre's output "
               "profile):\n"
               "                        %1\n"
               "  --keep-folders        with --output-folder, a book found in a folder goes to the "
               "same\n"
               "                        sub-folder of DIR as it had under that folder\n"
               "  --quiet               print only failures\n"
               "  --summary-json FILE   write every book's result to FILE as JSON\n"
               "  -h, --help            print this help\n"
               "  --version             print the version\n"
               "\n"
               "Exit status: 0 every book converted or up to date; 1 a book failed or was "
               "skipped,\n"
               "a name could not be handed to the converter, or the summary could not be written;\n"
               "2 usage error or nothing to convert; 3 the converter could not be prepared;\n"
               "130 interrupted (Ctrl-C); 143 ended (SIGTERM); 129 hung up (SIGHUP).\n")
        .arg(ProfileNames().join(QStringLiteral(", ")));
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
    const QCommandLineOption kindleFormat(QStringLiteral("kindle-format"), QString(),
                                          QStringLiteral("FORMAT"));
    const QCommandLineOption device(QStringLiteral("device"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption keepFolders(QStringLiteral("keep-folders"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption json(QStringLiteral("summary-json"), QString(),
                                  QStringLiteral("FILE"));
    parser.addOptions({help, version, convert, output, jobs, timeLimit, memoryBudget, extension,
                       skip, kindleFormat, device, keepFolders, quiet, json});
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
             {output, jobs, timeLimit, memoryBudget, extension, skip, kindleFormat, device,
              keepFolders, quiet, json}) {
            if (parser.isSet(only)) {
                return Usage(QStringLiteral("--%1 goes with --convert").arg(only.names().first()));
            }
        }
        // The window takes names as text: one that is not valid UTF-8 shows as it always has.
        for (const QString& path : paths) {
            result.windowPaths << QString::fromUtf8(BytesOfText(path));
        }
        return result;
    }
    ConvertRequest& request = result.convert;
    for (const QString& path : paths) {
        request.paths << BytesOfText(path);
    }
    request.outputFolder = BytesOfText(parser.value(output));
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
    if (parser.isSet(kindleFormat)) {
        const std::optional<KindleFormat> format = KindleFormatFromText(parser.value(kindleFormat));
        if (!format) {
            return Usage(QStringLiteral("--kindle-format takes mobi6 or joint, not \"%1\"")
                             .arg(parser.value(kindleFormat)));
        }
        request.choices.format = *format;
    }
    if (parser.isSet(device)) {
        const std::optional<QString> profile = DeviceProfileFromText(parser.value(device));
        if (!profile || profile->isEmpty()) {
            return Usage(QStringLiteral("--device takes one of %1, not \"%2\"")
                             .arg(ProfileNames().join(QStringLiteral(", ")), parser.value(device)));
        }
        request.choices.deviceProfile = *profile;
    }
    if (parser.isSet(keepFolders) && request.outputFolder.isEmpty()) {
        return Usage(QStringLiteral("--keep-folders goes with --output-folder"));
    }
    request.choices.keepFolders = parser.isSet(keepFolders);
    request.quiet = parser.isSet(quiet);
    request.summaryJson = BytesOfText(parser.value(json));
    if (paths.isEmpty()) {
        return Usage(QStringLiteral("--convert needs the books or folders to convert"));
    }
    result.mode = ProgramArguments::Mode::Convert;
    return result;
}

}  // namespace bq
