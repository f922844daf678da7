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
#include "platform/DialogSeam.h"
#include "platform/TerminalText.h"
#include "platform/TerminationSignals.h"
#include "process/ProgressDisplay.h"

#include <QCoreApplication>
#include <QStringListModel>

#include <csignal>

namespace bq {

namespace {

// Boxes, as a conversion without a window shows them: on standard error, one line each.
class ConsoleDialogs final : public DialogSeam {
  public:
    int MsgBox(const QString& prompt, int style, const QString&) override {
        PrintLine(QStringLiteral("brindlequill: ") + TerminalSafe(OneLine(prompt)));
        return (style & 7) == MbYesNo ? MbResultNo : MbResultOk;
    }
    QString InputBox(const QString&, const QString&, const QString&) override { return {}; }
    QString ShowOpen(const OpenFileRequest&) override { return {}; }
    QString BrowseForFolder(const QString&, const QString&) override { return {}; }
    void ShellOpenFolder(const QString&) override {}
};

// The bar's texts are the window's; without a window nothing shows them.
class SilentBar final : public ProgressDisplay {
  public:
    QString Text() const override { return m_text; }
    void SetText(const QString& text) override { m_text = text; }
    double Value() const override { return m_value; }
    void SetValue(double value) override { m_value = value; }

  private:
    QString m_text;
    double m_value = 0;
};

}  // namespace

int ConvertWithoutWindow(const ConvertRequest& request) {
    ConsoleDialogs dialogs;
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
        const QString problem = SummaryPathProblem(request.summaryJson, summaryPlace, named.files,
                                                   named.books, outputOptions);
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
    QStringListModel list(books);
    SilentBar bar;
    bool busy = false;
    ConsoleReport report(books, request.quiet);
    ConversionWindow window;
    window.list = &list;
    window.options = [&outputOptions] { return outputOptions; };
    window.bar = &bar;
    window.showHourglass = [](bool) {};
    window.dialogs = &dialogs;
    window.appTitle = QStringLiteral("Brindlequill");
    window.isBusy = &busy;
    window.bookDone = [&report](const BookOutcome& outcome) { report.BookDone(outcome); };
    window.showLastBox = false;
    ConversionSetup setup;
    setup.converters = request.jobs;
    setup.timeLimit = request.timeLimit;
    setup.skipUpToDate = request.skipExisting;
    ConversionRun run(std::move(window), setup);

    // Ctrl-C (or SIGTERM, SIGHUP) stops as the window's Stop does; a second one ends at once.
    int interruptions = 0;
    int firstSignal = 0;
    TerminationSignals endSignals;
    QObject::connect(&endSignals, &TerminationSignals::received, [&](int signalNumber) {
        if (++interruptions == 1) {
            firstSignal = signalNumber;
            report.Interrupted();
            run.RequestStop(true);
        } else {
            run.RequestStopAtOnce();
        }
    });
    report.Start();
    run.Start();
    report.Finish(run.Summary());

    const bool summaryWritten = writeSummary(report.JsonEntries());
    if (run.ProvisioningFailed()) {
        PrintLine(QStringLiteral("brindlequill: the converter could not be prepared, so nothing "
                                 "was converted: ") +
                  TerminalSafe(OneLine(run.ProvisioningProblem())));
        return kExitConverterUnavailable;
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
