#pragma once

#include "convert/ConversionSummary.h"
#include "convert/ConverterRuntime.h"
#include "convert/OutputDestination.h"
#include "convert/ProcessRunner.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QAbstractItemModel;

namespace bq {

class DialogSeam;
class LookAhead;
class ProgressDisplay;

// The window as a conversion run sees it.
struct ConversionWindow {
    // The conversion list: entry i's source path is index(i, 0)'s text.
    const QAbstractItemModel* list = nullptr;
    // Option1, Option2 and Text1 as they are at this moment (read at each entry).
    std::function<OutputOptions()> options;
    ProgressDisplay* bar = nullptr;
    // true: the hourglass (the window's busy mark); false: the default pointer.
    std::function<void(bool)> showHourglass;
    DialogSeam* dialogs = nullptr;
    QString appTitle;
    // The window's IsBusy: true from the start of a run until its end.
    bool* isBusy = nullptr;
};

// Where a run takes its converter runtime archive from: the program's resource "CUSTOM" 101
// unless a test gives another.
struct ConversionSetup {
    std::function<QByteArray()> archive;
    // How many converters run at once; 0: the "Jobs" setting or the cores (ConverterCount()).
    int converters = 0;
};

// "Start Converting": turns every entry of the list into a MOBI file.
//
// The run refuses a second start and an unusable destination, provisions a private converter
// runtime, then walks the entries in list order: each is converted by a converter process
// (hidden, its output in a log of its own) into a temporary ".mobi" name in the target folder,
// and the result replaces the old output only when the converter succeeded and libmobi reads it
// back whole. A source that would be its own output, or whose output would replace another
// listed source, is never touched. The runtime is removed at the end, and the last box says
// "Done." or which files were not converted and why.
//
// While the loop waits for one entry's converter, the converters of the next entries already
// run (ConvertersAtOnce() at most, started in list order; see LookAhead): each converts its
// entry's text as it is when its converter starts, into a temporary name of its own, and the
// loop still takes the entries one by one in list order, with the same display, and puts each
// result in place when it comes to it.
//
// The statement line numbers of the window's handler (100, 102, ...) are kept for its error
// report: a statement that fails unexpectedly shows the "Application Error" box and the run goes
// on with the next statement.
class ConversionRun {
  public:
    explicit ConversionRun(ConversionWindow window, ConversionSetup setup = {});
    ~ConversionRun();
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    // The whole run, as PushButton2_Click.
    void Start();

    // The window is closing: ends the running converter's process group, removes its partial
    // output, and makes every active run stop at once, remove its runtime and return without
    // another box. Outputs already made stay.
    static void AbandonActiveRuns();

    // What the last run did (for its box and for tests).
    const ConversionSummary& Summary() const { return m_summary; }
    bool WasAbandoned() const { return m_abandoned; }
    // The run folder under TEMP of the last run ("" before provisioning).
    QString RunFolder() const { return m_runFolderSeen; }

    // The place of an output: its folder's real path and its name (the text when the folder
    // does not exist), so that two spellings of one place compare equal.
    static QString OutputKey(const QString& output);

  private:
    // One entry between its start and its end.
    struct Job {
        int index = 0;  // 1-based
        QString source;
        QString output;
        QString temporary;  // the converter's output, beside the old output
        QString log;
        QString failure;  // set when the entry cannot be converted
        bool skippedAsItsOwnOutput = false;
        std::optional<ChildProcess> child;
        std::int32_t exitCode = 0;
        // Started by the look-ahead before the loop reached it: the errors its steps raised,
        // with their lines, are raised again when the loop comes to those lines.
        bool startedAhead = false;
        std::vector<std::pair<int, std::exception_ptr>> deferredErrors;
    };

    void Provision();
    void ConvertAll();
    // The entry's text as the list holds it now (a failure when it is gone from the list).
    void ReadSource(Job& job);
    void PrepareJob(Job& job);
    void StartJob(Job& job);
    void WaitForJob(Job& job);
    void FinishJob(Job& job);
    void Abandon();
    void RemoveTemporary(Job& job);
    void ShowLastBox();
    void CollectListedSources(int count);

    // The look-ahead's side of the run (ConversionRunAhead.cpp).
    void BeginLookAhead(int count);
    Job& JobFor(int index);
    bool StartAhead(int index);
    bool ConverterEnded(int index);
    bool MayStartAhead(int index);
    static void RaiseDeferred(Job& job, int line);
    void EndJob(int index);
    void StopLookAhead();
    void EndLookAhead();

    ConversionWindow m_window;
    ConversionSetup m_setup;
    ConverterRuntime m_runtime;
    ConversionSummary m_summary;
    Job* m_current = nullptr;
    bool m_abandoned = false;
    bool m_provisioningFailed = false;
    QString m_provisioningProblem;
    QString m_runFolderSeen;
    QSet<QString> m_listedSources;  // "device:inode" of every listed source when the loop began
    std::optional<QByteArray> m_savedCalibreTemp;
    bool m_calibreTempWasSet = false;
    // Every entry between its start and its end, by number; and the look-ahead that starts them.
    std::map<int, std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<LookAhead> m_lookAhead;
};

}  // namespace bq
