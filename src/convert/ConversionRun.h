#pragma once

#include "convert/ConversionSummary.h"
#include "convert/ConverterRuntime.h"
#include "convert/KeptLogs.h"
#include "convert/KindleChoices.h"
#include "convert/MobiCheck.h"
#include "convert/OutputDestination.h"
#include "convert/RunObserver.h"
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

namespace bq {

class LookAhead;

// What a run converts: the entries of the list as they stand at Start, and where each result
// goes.
struct RunRequest {
    QStringList sources;
    // Beside sources, entry by entry: the folder each was added from (the folder route, a
    // dropped folder, a folder named on the command line), "" for a book added by itself. Fewer
    // roots than sources: the rest were added by themselves.
    QStringList roots;
    // The destination options as they are at this moment: asked when each entry takes its
    // turn, so a change during the run applies to the entries not started yet.
    std::function<OutputOptions()> outputRule;
};

// What a run is given besides what it converts: where it takes its converter runtime archive
// from (the program's resource "CUSTOM" 101 unless a test gives another), and its limits.
struct ConversionSetup {
    std::function<QByteArray()> archive;
    // How many converters run at once; 0: the "Jobs" setting or the cores (ConverterCount()).
    int converters = 0;
    // How long one book may take; 0: the "BookTimeLimit" setting (BookTimeLimit()).
    std::chrono::milliseconds timeLimit{0};
    // The memory all converters may take together, in bytes; 0: the "MemoryBudget" setting
    // (MemoryBudget()). Each converter may take its share (BookMemoryLimit()).
    std::uint64_t memoryBudget = 0;
    // An entry whose output exists and is newer than its source is skipped as up to date.
    bool skipUpToDate = false;
    // The kind of MOBI file and calibre's output profile ("" its default): calibre's options
    // after the source and the output (ConverterOptions), for every book of the run.
    KindleFormat format = KindleFormat::Mobi6;
    QString deviceProfile;
    // With one output folder ("Save results to this folder:"), an entry added from a folder goes
    // to the same sub-folder of the output folder as it had under that folder (RunRequest::roots),
    // made as needed.
    bool keepFolders = false;
};

// The run's setup with the Kindle choices in it (the rest as given).
ConversionSetup WithKindleChoices(ConversionSetup setup, const KindleChoices& choices);

// "Start Converting": turns every entry of the list, as it stands when the run starts, into a
// MOBI file.
//
// The run refuses an empty list and an unusable destination, provisions a private converter
// runtime, then walks the entries in list order: each is converted by a converter process
// (hidden, its output in a log of its own, at most the time and memory limits) into a temporary
// ".mobi" name in the target folder, and the result replaces the old output only when the
// converter succeeded and a reader that is not the converter reads it back whole. A source that
// would be its own output, or whose output would replace another listed source, is never
// touched. The run tells one observer (RunObserver) what happens: the window, the command line
// and the tests follow it the same way, and its summary says what became of every entry.
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
// list order every book whose converter had already finished and which reads back whole within
// the same grace period (a read-back cut short by the stop leaves its book not converted),
// keeps the converter's logs of the books not converted, and removes the run folder. Every child
// (converters, the warm converter, the read-backs) also dies with the program, however it ends.
//
// The statement line numbers of the window's handler (100, 102, ...) are kept for its error
// report: a statement that fails unexpectedly (an observer's event included) is reported through
// the observer's ErrorReport and the run goes on with the next statement.
class ConversionRun {
  public:
    ConversionRun(RunRequest request, RunObserver& observer, ConversionSetup setup = {});
    ~ConversionRun();
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    // The whole run, as PushButton2_Click after its own busy test (line 100).
    void Start();

    // Asks the run to stop: it starts nothing more and, at its next turn of the message loop,
    // ends through End(). closing: the window is closing, so the run shows no box at its end.
    void RequestStop(bool closing = false);
    // As RequestStop(), and the converters are killed without a grace period.
    void RequestStopAtOnce();
    bool StopRequested() const { return m_stopRequested; }
    // The converter could not be prepared, so nothing was converted; and why.
    bool ProvisioningFailed() const { return m_summary.provisioningFailed(); }
    const QString& ProvisioningProblem() const { return m_summary.provisioningProblem(); }
    // The run passed its checks (it was not refused).
    bool WasStarted() const { return m_started; }

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
        // Below the output folder (keepFolders): the folder the output goes to, and that folder.
        QString outputBase;
        QString subFolder;
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
        // The memory its converter may take; 0: the run's share for each converter.
        std::uint64_t memoryLimit = 0;
        std::vector<std::pair<int, std::exception_ptr>> deferredErrors;
        // Reading its new MOBI back, once its converter has succeeded.
        MobiReadBack readBack;
        // Its converter's verdict is taken and its read-back started (or it failed before).
        bool concluded = false;
    };

    void Provision();
    void ConvertAll();
    void End();
    // The entry's text as the list held it when the run started.
    void ReadSource(Job& job);
    // Where the job's result goes as the destination stands now (output, outputBase, subFolder).
    void PlaceOutput(Job& job);
    // The output path the job's entry would get now.
    QString OutputPathNow(const Job& job);
    void PrepareJob(Job& job);
    void StartJob(Job& job);
    void WaitForJob(Job& job);
    // Takes the converter's verdict on the job and, when it made a book, starts reading it back.
    void Conclude(Job& job);
    // Waits for the job's read-back while the message loop turns; false when a stop cut it short.
    bool WaitForReadBack(Job& job);
    // Puts the job's book in place, or tells why it failed; the read-back has ended.
    void PutInPlace(Job& job);
    // Conclude, WaitForReadBack and PutInPlace in turn: false when a stop cut it short.
    bool FinishJob(Job& job);
    // Tells the observer what became of the job.
    void Tell(const Job& job, BookOutcome::Result result);
    // Tells the observer the entry was not converted because the run was stopped.
    void TellStopped(int index, const QString& source);
    // Runs an event of the observer that no statement line covers: what it raises is logged.
    template <typename Event>
    void Notify(const char* what, Event&& event);
    // The error report's text goes to the observer.
    void Report(const QString& text);
    // The entries the list holds now, as the observer tells.
    int EntriesNow() const;
    // The job's converter ended, or was ended: its exit code is taken.
    void TakeExitCode(Job& job);
    void RemoveTemporary(Job& job);
    // Why the job's output would replace an output made earlier in this run (the same name, or
    // another name of the same file); "" when it would not.
    QString SameFileProblem(const Job& job);
    // Notes an output put in place (or kept as up to date) for its book, for SameFileProblem.
    void RecordMade(const Job& job);
    // Kills every converter past the time limit (a timer's slot).
    void EnforceTimeLimit();
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
    // The job's converter ended for lack of memory (at its limit).
    bool RanOutOfMemory(const Job& job) const;
    // The job's converter failed for memory under a share of the budget: alone, under the whole
    // budget, it might convert.
    bool RanOutOfMemoryBesideOthers(Job& job);
    // Ends and forgets every converter still running for an entry after `index` (the loop or
    // the look-ahead starts them again), and starts nothing ahead until ConvertedAlone(): the
    // loop's entry converts alone.
    void ConvertAloneAt(int index);
    void ConvertedAlone();
    // The memory the job's converter may take.
    std::uint64_t MemoryLimitOf(const Job& job) const;
    // Ends and forgets every entry after `index` that was started ahead (the loop converts them
    // at their turns), and starts no more ahead: the disk is nearly full.
    void MakeRoomAfter(int index);
    // An entry converted ahead whose output path is no longer what its turn computes goes back
    // to the loop, which converts it again.
    void Redo(Job& job);
    static void RaiseDeferred(Job& job, int line);
    void EndJob(int index);

    RunRequest m_request;
    RunObserver& m_observer;
    ConversionSetup m_setup;
    ConverterRuntime m_runtime;
    ConversionSummary m_summary;
    std::chrono::milliseconds m_timeLimit{0};
    std::uint64_t m_memoryBudget = 0;
    std::uint64_t m_memoryLimit = 0;  // each converter's share of the budget
    int m_convertersAtOnce = 1;
    bool m_stopRequested = false;
    bool m_ended = false;
    bool m_closing = false;
    bool m_atOnce = false;
    bool m_diskNearlyFull = false;   // nothing more starts ahead
    bool m_convertingAlone = false;  // nothing starts ahead until the loop's entry has ended
    bool m_started = false;
    bool m_provisioningFailed = false;
    QString m_runFolderSeen;
    std::vector<char> m_told;       // by entry (1-based): its outcome was told
    QStringList m_sources;          // every entry's text when the loop began
    QStringList m_roots;            // the folder each entry was added from ("": by itself)
    QSet<QString> m_listedSources;  // "device:inode" of every listed source when the loop began
    // The output folders this run has swept of abandoned temporaries, those that ignore case,
    // and the outputs it made: by identity key and by "device:inode", each with its OutputKey
    // and its path.
    QSet<QString> m_sweptFolders;
    QHash<QString, bool> m_foldersIgnoringCase;
    struct Made {
        QString key;     // OutputKey
        QString output;  // its path as this run gave it
        QString source;  // the book it was made from
        bool upToDate;   // kept as it was: the book's output is newer than the book
    };
    QHash<QString, Made> m_madeByIdentity;
    QHash<QString, Made> m_madeByFile;
    // Every entry between its start and its end, by number; and the look-ahead that starts them.
    std::map<int, std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<LookAhead> m_lookAhead;
    QTimer m_timeLimitTimer;
    // The logs of the books not converted so far, in the order they failed.
    std::vector<FailedLog> m_failedLogs;
};

}  // namespace bq
