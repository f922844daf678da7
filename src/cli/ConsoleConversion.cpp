// `brindlequill --convert`: the same conversion run as the window's, without a window or a
// display, reporting on standard error.
#include "cli/ConsoleConversion.h"

#include "cli/CommandLineBooks.h"
#include "cli/ConsoleReport.h"
#include "cli/OutputFolderCheck.h"
#include "cli/SummaryFile.h"
#include "cli/SummaryPathCheck.h"
#include "convert/ConversionRun.h"
#include "fs/ResolvedPath.h"
#include "platform/TerminalText.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>

namespace bq {

int ConvertWithoutWindow(const ConvertRequest& request) {
    // Every path is made absolute now, as the system resolves it: the run works from the
    // program's folder.
    const CommandLineBooks named = ResolveCommandLineBooks(request.paths, request.extension);
    if (!named.usageError.isEmpty()) {
        PrintLine(QStringLiteral("brindlequill: ") + named.usageError);
        return kExitUsage;
    }
    QString outputFolder;
    if (!request.outputFolder.isEmpty()) {
        const QString problem = OutputFolderProblem(request.outputFolder, outputFolder);
        if (!problem.isEmpty()) {
            PrintLine(QStringLiteral("brindlequill: ") + problem);
            return kExitUsage;
        }
    }
    const OutputOptions outputOptions = outputFolder.isEmpty()
                                            ? OutputOptions{false, true, QString()}
                                            : OutputOptions{true, false, outputFolder};
    const QByteArray summaryPlace =
        request.summaryJson.isEmpty() ? QByteArray() : ResolvedPlace(request.summaryJson);
    if (!summaryPlace.isEmpty()) {
        const QString problem = SummaryPathProblem(
            request.summaryJson, summaryPlace, named.files, named.books,
            request.choices.keepFolders ? named.roots : QStringList(), outputOptions);
        if (!problem.isEmpty()) {
            PrintLine(QStringLiteral("brindlequill: ") + problem);
            return kExitUsage;
        }
    }
    for (const QString& note : named.notes) {
        PrintLine(note);
    }
    for (const QByteArray& refused : named.refused) {
        PrintLine(QStringLiteral("brindlequill: %1 was not converted: %2")
                      .arg(TerminalSafeBytes(refused), RefusedNameReason()));
    }
    const QStringList& books = named.books;
    // The summary, when asked for, at the end; failing to write it fails the run.
    const auto writeSummary = [&](const QJsonArray& entries) {
        if (summaryPlace.isEmpty()) {
            return true;
        }
        const QString problem = WriteSummaryFile(summaryPlace, entries, named.refused);
        if (!problem.isEmpty()) {
            PrintLine(QStringLiteral("brindlequill: ") + problem);
        }
        return problem.isEmpty();
    };
    if (books.isEmpty()) {
        writeSummary({});
        return kExitSomeFailed;  // every book named was refused, and said so
    }

    // A reader that went away must not end the program mid-run: writes to it just fail.
    std::signal(SIGPIPE, SIG_IGN);
    ConsoleReport report(books, request.quiet);
    if (request.quiet) {
        // Only failures: the run's notes (which converter runs, how memory is limited) stay in
        // the log unless QT_LOGGING_RULES asks for them.
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    }
    RunRequest runRequest;
    runRequest.sources = books;
    runRequest.roots = named.roots;
    runRequest.outputRule = [outputOptions] { return outputOptions; };
    KindleChoices choices = request.choices;
    choices.skipUpToDate = request.skipExisting;
    ConversionSetup setup = WithKindleChoices({}, choices);
    setup.converters = request.jobs;
    setup.timeLimit = request.timeLimit;
    setup.memoryBudget = request.memoryBudget;
    ConversionRun run(std::move(runRequest), report, setup);

    // Ctrl-C (or SIGTERM, SIGHUP) stops as the window's Stop does; a second one ends at once.
    int interruptions = 0;
    int firstSignal = 0;
    TerminationSignals endSignals;
    QObject::connect(&endSignals, &TerminationSignals::received, [&](int signalNumber) {
        if (++interruptions == 1) {
            firstSignal = signalNumber;
            report.Interrupted(signalNumber);
            run.RequestStop();
        } else {
            run.RequestStopAtOnce();
        }
    });
    run.Start();

    const bool summaryWritten = writeSummary(report.JsonEntries());
    if (run.ProvisioningFailed()) {
        return kExitConverterUnavailable;  // the report said why
    }
    if (interruptions > 0) {
        return ExitStatusForSignal(firstSignal);
    }
    const ConversionSummary& summary = run.Summary();
    if (!named.refused.isEmpty()) {
        PrintLine(QStringLiteral("brindlequill: besides, %1 not converted because the name is "
                                 "not valid UTF-8 (named above)")
                      .arg(named.refused.size() == 1
                               ? QStringLiteral("1 book was")
                               : QStringLiteral("%1 books were").arg(named.refused.size())));
    }
    return summary.failed() > 0 || summary.converted() + summary.upToDate() < summary.entries() ||
                   !named.refused.isEmpty() || !summaryWritten
               ? kExitSomeFailed
               : kExitAllConverted;
}

}  // namespace bq
