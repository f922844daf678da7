#pragma once

#include "convert/ConversionSummary.h"
#include "convert/ConverterRuntime.h"
#include "convert/KeptLogs.h"
#include "convert/OutputDestination.h"
#include "fs/OutputTemporary.h"
#include "process/ChildProcess.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
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

// What became of one entry, as a run tells it the moment it knows.
struct BookOutcome {
    enum class Result { Converted, Failed, SkippedAsItsOwnOutput, UpToDate };
    int index = 0;  // 1-based, in the list as it stood when the run started
    QString source;
    QString output;
    Result result = Result::Failed;
    QString reason;        // why it failed ("" otherwise)
    double seconds = 0.0;  // from its converter's start to its end
};

// The window as a conversion run sees it.
struct ConversionWindow {
    // The conversion list: entry i's source path is index(i, 0)'s text.
    const QAbstractItemModel* list = nullptr;
    // Option1, Option2 and Text1 as they are at this moment (read at each entry).
    std::function<OutputOptions()> options;
    ProgressDisplay* bar = nullptr;
    // true: the hourglass (the window's busy mark); false: the default pointer.
    std::function<void(bool)> showHourglass;
    // true while the run may be stopped (the start button then reads "Stop Converting"); false
    // once it is over. May be empty.
    std::function<void(bool)> showStoppable;
    DialogSeam* dialogs = nullptr;
    QString appTitle;
    // The window's IsBusy: true from the start of a run until its end.
    bool* isBusy = nullptr;
    // Told of each entry as it is put in place, fails or is skipped, in list order. May be empty.
    std::function<void(const BookOutcome&)> bookDone;
    // false: the run shows no last box (its caller reports the summary itself).
    bool showLastBox = true;
    // Told what the run did as soon as it has ended, before the window is reset and the last box
    // shows; not when the window is closing. May be empty.
    std::function<void(const ConversionSummary&)> ended;
};

// What a run is given besides the window: where it takes its converter runtime archive from
// (the program's resource "CUSTOM" 101 unless a test gives another), and its limits.
struct ConversionSetup {
    std::function<QByteArray()> archive;
    // How many converters run at once; 0: the "Jobs" setting or the cores (ConverterCount()).
    int converters = 0;
    // How long one book may take; 0: the "BookTimeLimit" setting (BookTimeLimit()).
    std::chrono::milliseconds timeLimit{0};
    // The memory each converter may take, in bytes; 0: BookMemoryLimit() for the converters.
    std::uint64_t memoryLimit = 0;
    // An entry whose output exists and is newer than its source is skipped as up to date.
    bool skipUpToDate = false;
};

// "Start Converting": turns every entry of the list, as it stands when the run starts, into a
// MOBI file.
//
// The run refuses an empty list and an unusable destination, provisions a private converter
// runtime, then walks the entries in list order: each is converted by a converter process
// (hidden, its output in a log of its own, at most the time and memory limits) into a temporary
// ".mobi" name in the target folder, and the result replaces the old output only when the
// converter succeeded and a reader that is not the converter reads it back whole. A source that
// would be its own output, or whose output would replace another listed source, is never
// touched. The last box says "Done." or which files were not converted and why.
//
// While the loop waits for one entry's converter, the converters of the next entries already
// run (ConvertersAtOnce() at most, the longest expected first; see LookAhead): each converts its
// entry into a temporary name of its own, and the loop still takes the entries one by one in
// list order, with the same display, and puts each result in place when it comes to it. An
// entry converted ahead whose output path differs from what its turn computes (the options or
// the folder box changed meanwhile) is converted again at its turn.
//
// How a run ends. The run owns everything it starts: its run folder under TEMP, the warm
// converter, every converter with its temporary output, the look-ahead. Every run, finished,
// stopped by the person (RequestStop) or by the window closing, ends through one path, End():
// it starts nothing more, asks every converter's process group and the warm converter's session
// to end with one shared grace period, reaps them, removes partial outputs, puts in place in
// list order every book whose converter had already finished (and which reads back whole),
// keeps the converter's logs of the books not converted, and removes the run folder. Every child
// also dies with the program, however it ends.
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

    // Asks the run to stop: it starts nothing more and, at its next turn of the message loop,
    // ends through End(). closing: the window is closing, so the run shows no box at its end.
    void RequestStop(bool closing = false);
    // As RequestStop(true), and the converters are killed without a grace period.
    void RequestStopAtOnce();
    bool StopRequested() const { return m_stopRequested; }
    // The converter could not be prepared, so nothing was converted; and why.
    bool ProvisioningFailed() const { return m_provisioningFailed; }
    const QString& ProvisioningProblem() const { return m_provisioningProblem; }

    // What the last run did (for its box and for tests).
    const ConversionSummary& Summary() const { return m_summary; }
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
        std::optional<OutputTemporary> temporaryFile;
        QString log;
        QString failure;  // set when the entry cannot be converted
        bool skippedAsItsOwnOutput = false;
        bool upToDate = false;  // skipped: its output is newer than its source
        std::optional<ChildProcess> child;
        QElapsedTimer running;  // since its converter started
        bool timedOut = false;  // its converter ran past the time limit and was killed
        std::int32_t exitCode = 0;
        bool signalled = false;
        // Started by the look-ahead before the loop reached it: the errors its steps raised,
        // with their lines, are raised again when the loop comes to those lines.
        bool startedAhead = false;
        bool retriedForSpace = false;
        std::vector<std::pair<int, std::exception_ptr>> deferredErrors;
    };

    void Provision();
    void ConvertAll();
    void End();
    // The entry's text as the list held it when the run started.
    void ReadSource(Job& job);
    void PrepareJob(Job& job);
    void StartJob(Job& job);
    void WaitForJob(Job& job);
    void FinishJob(Job& job);
    // Tells the window's bookDone what became of the job.
    void Tell(const Job& job, BookOutcome::Result result);
    // The job's converter ended, or was ended: its exit code is taken.
    void TakeExitCode(Job& job);
    void RemoveTemporary(Job& job);
    // Why the job's output is one file with an output made earlier in this run under another
    // name; "" when it is not.
    QString SameFileProblem(const Job& job);
    // Notes an output put in place, for SameFileProblem.
    void RecordMade(const Job& job);
    // Kills every converter past the time limit (a timer's slot).
    void EnforceTimeLimit();
    void ShowLastBox();
    // Keeps the converter's logs of the books not converted (see KeptLogs) before the run folder
    // goes, and names their folder in the summary.
    void KeepLogs();
    void CollectListedSources();

    // The look-ahead's side of the run (ConversionRunAhead.cpp).
    void BeginLookAhead(int count);
    Job& JobFor(int index);
    bool StartAhead(int index);
    bool ConverterEnded(int index);
    bool MayStartAhead(int index);
    // True while the books converted ahead hold a quarter of the free space of their output
    // folder's file system or more: nothing more starts ahead until the loop puts them in place.
    bool AheadOutputsFillTheirDisk();
    // The job's converter failed for lack of space while other books of the run held some
    // (converted ahead, or at all when it was itself converted ahead), and it was not converted
    // again for that yet.
    bool RanOutOfSpaceBesideOthers(Job& job);
    // Ends and forgets every entry after `index` that was started ahead (the loop converts them
    // at their turns), and starts no more ahead: the disk is nearly full.
    void MakeRoomAfter(int index);
    // An entry converted ahead whose output path is no longer what its turn computes goes back
    // to the loop, which converts it again.
    void Redo(Job& job);
    static void RaiseDeferred(Job& job, int line);
    void EndJob(int index);

    ConversionWindow m_window;
    ConversionSetup m_setup;
    ConverterRuntime m_runtime;
    ConversionSummary m_summary;
    std::chrono::milliseconds m_timeLimit{0};
    std::uint64_t m_memoryLimit = 0;
    int m_convertersAtOnce = 1;
    bool m_stopRequested = false;
    bool m_ended = false;
    bool m_closing = false;
    bool m_atOnce = false;
    bool m_diskNearlyFull = false;  // nothing more starts ahead
    bool m_provisioningFailed = false;
    QString m_provisioningProblem;
    QString m_runFolderSeen;
    QStringList m_sources;          // every entry's text when the loop began
    QSet<QString> m_listedSources;  // "device:inode" of every listed source when the loop began
    // The output folders this run has swept of abandoned temporaries, those that ignore case,
    // and the outputs it made: by identity key and by "device:inode", each with its OutputKey
    // and its path.
    QSet<QString> m_sweptFolders;
    QHash<QString, bool> m_foldersIgnoringCase;
    QHash<QString, std::pair<QString, QString>> m_madeByIdentity;
    QHash<QString, std::pair<QString, QString>> m_madeByFile;
    // Every entry between its start and its end, by number; and the look-ahead that starts them.
    std::map<int, std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<LookAhead> m_lookAhead;
    QTimer m_timeLimitTimer;
    // The logs of the books not converted so far, in the order they failed.
    std::vector<FailedLog> m_failedLogs;
};

}  // namespace bq
