// `brindlequill --convert`: the same conversion run as the window's, without a window or a
// display, reporting on standard error.
#include "cli/ConsoleConversion.h"

#include "cli/ConsoleReport.h"
#include "convert/ConversionRun.h"
#include "fs/FolderScan.h"
#include "list/FolderRoute.h"
#include "platform/DialogSeam.h"
#include "platform/RunTimeError.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>

namespace bq {

namespace {

// Boxes, as a conversion without a window shows them: on standard error, one line each.
class ConsoleDialogs final : public DialogSeam {
  public:
    int MsgBox(const QString& prompt, int style, const QString&) override {
        PrintLine(QStringLiteral("brindlequill: ") + OneLine(prompt));
        return (style & 7) == MbYesNo ? MbResultNo : MbResultOk;
    }
    QString InputBox(const QString&, const QString&, const QString&) override { return {}; }
    QString ShowOpen(const OpenFileRequest&) override { return {}; }
    QString BrowseForFolder(const QString&, const QString&) override { return {}; }
    void ShellOpenFolder(const QString&) override {}
};

}  // namespace

int ConvertWithoutWindow(const ConvertRequest& request, const QList<QByteArray>& rawArguments) {
    ConsoleDialogs dialogs;
    // Every path is made absolute now: the run works from the program's folder.
    QStringList books;
    for (const QString& path : request.paths) {
        // A name whose bytes are not valid UTF-8 comes back changed: it cannot be handed on.
        if (!rawArguments.contains(QFile::encodeName(path))) {
            PrintLine(QStringLiteral("brindlequill: %1: the name is not valid UTF-8 and cannot be "
                                     "handed to the converter; rename it")
                          .arg(path));
            return kExitUsage;
        }
        const QString absolute = QFileInfo(path).absoluteFilePath();
        struct stat st {};
        if (::stat(QFile::encodeName(absolute).constData(), &st) != 0) {
            PrintLine(QStringLiteral("brindlequill: %1: no such file or folder").arg(path));
            return kExitUsage;
        }
        if (S_ISDIR(st.st_mode)) {
            const QStringList found = ListFilesInFolderTree(
                QDir::cleanPath(absolute), PatternForExtension(request.extension), dialogs);
            if (found.isEmpty()) {
                PrintLine(QStringLiteral("brindlequill: %1: no .%2 files in this folder or below")
                              .arg(path, request.extension));
                return kExitUsage;
            }
            books += found;
        } else {
            books << QDir::cleanPath(absolute);
        }
    }
    QString outputFolder;
    if (!request.outputFolder.isEmpty()) {
        outputFolder = QDir::cleanPath(QFileInfo(request.outputFolder).absoluteFilePath());
        const QByteArray encoded = QFile::encodeName(outputFolder);
        struct stat st {};
        if (::stat(encoded.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            PrintLine(QStringLiteral("brindlequill: the output folder %1 does not exist; create "
                                     "it or choose another")
                          .arg(request.outputFolder));
            return kExitUsage;
        }
        if (::access(encoded.constData(), W_OK | X_OK) != 0) {
            PrintLine(QStringLiteral("brindlequill: the output folder %1 cannot be written (%2)")
                          .arg(request.outputFolder, SystemErrorText(errno)));
            return kExitUsage;
        }
    }
    const QString summaryJson = request.summaryJson.isEmpty()
                                    ? QString()
                                    : QFileInfo(request.summaryJson).absoluteFilePath();

    // A reader that went away must not end the program mid-run: writes to it just fail.
    std::signal(SIGPIPE, SIG_IGN);
    ConsoleReport report(books, request.quiet);
    RunRequest runRequest;
    runRequest.sources = books;
    runRequest.outputRule = [&outputFolder] {
        return outputFolder.isEmpty() ? OutputOptions{false, true, QString()}
                                      : OutputOptions{true, false, outputFolder};
    };
    ConversionSetup setup;
    setup.converters = request.jobs;
    setup.timeLimit = request.timeLimit;
    setup.memoryBudget = request.memoryBudget;
    setup.skipUpToDate = request.skipExisting;
    ConversionRun run(std::move(runRequest), report, setup);

    // Ctrl-C (or SIGTERM, SIGHUP) stops as the window's Stop does; a second one ends at once.
    int interruptions = 0;
    TerminationSignals endSignals;
    QObject::connect(&endSignals, &TerminationSignals::received, [&](int) {
        if (++interruptions == 1) {
            report.Interrupted();
            run.RequestStop();
        } else {
            run.RequestStopAtOnce();
        }
    });
    run.Start();

    if (!summaryJson.isEmpty() && !report.WriteJson(summaryJson)) {
        PrintLine(QStringLiteral("brindlequill: the summary could not be written to %1")
                      .arg(request.summaryJson));
    }
    if (run.ProvisioningFailed()) {
        PrintLine(QStringLiteral("brindlequill: the converter could not be prepared, so nothing "
                                 "was converted: ") +
                  OneLine(run.ProvisioningProblem()));
        return kExitConverterUnavailable;
    }
    if (interruptions > 0) {
        return kExitInterrupted;
    }
    const ConversionSummary& summary = run.Summary();
    return summary.failed() > 0 || summary.converted() + summary.upToDate() < summary.entries()
               ? kExitSomeFailed
               : kExitAllConverted;
}

}  // namespace bq
