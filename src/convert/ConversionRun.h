#pragma once

#include "convert/BookJob.h"
#include "convert/ConversionSummary.h"
#include "convert/ConverterRuntime.h"
#include "convert/KeptLogs.h"
#include "convert/KindleChoices.h"
#include "convert/OutputDestination.h"
#include "convert/RunObserver.h"
#include "convert/RunOutputs.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
// runtime, then walks the entries in list order. Each entry is one BookJob (BookJob.h), which
// does the steps the run calls in turn: it is converted by a converter process (hidden, its
// output in a log of its own, at most the time and memory limits) into a temporary ".mobi" name
// in the target folder, and the result replaces the old output only when the converter
// succeeded and a reader that is not the converter reads it back whole. A source that
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

  private:
    void Provision();
    void ConvertAll();
    void End();
    // The job of entry `index`, made when first asked for (ahead: by the look-ahead).
    BookJob& JobFor(int index, bool ahead = false);
    // Where the job's result goes as the destination stands now.
    void Place(BookJob& job);
    // The output path the job's entry would get now.
    QString OutputPathNow(const BookJob& job);
    // Starts the job's converter with its share of the memory budget (or the whole budget).
    void StartConverter(BookJob& job, std::uint64_t memoryLimit = 0);
    void WaitForConverter(BookJob& job);
    // Waits for the job's read-back while the message loop turns; false when a stop cut it short.
    bool WaitForReadBack(BookJob& job);
    // Puts the job's book in place, or names why not, and tells the observer.
    void Finish(BookJob& job);
    // Tells the observer what became of the job.
    void Tell(const BookJob& job, BookOutcome::Result result);
    // Tells the observer the entry was not converted because the run was stopped.
    void TellStopped(int index);
    // The error report's text goes to the observer.
    void Report(const QString& text);
    // The entries the list holds now, as the observer tells.
    int EntriesNow() const;
    // Kills every converter past the time limit (a timer's slot).
    void EnforceTimeLimit();
    // Keeps the converter's logs of the books not converted (see KeptLogs) before the run folder
    // goes, and names their folder in the summary.
    void KeepLogs();

    // The look-ahead's side: at each turn of the message loop, notes the converters that ended
    // and starts the entries the look-ahead chooses, as the loop would start them.
    void FillAhead();
    // True when a converter now runs for the entry.
    bool StartAhead(int index);
    // False while entry `index` reads what an earlier entry of this run still makes.
    bool MayStartAhead(int index);
    // True while the books converted ahead hold a quarter of the free space of their output
    // folder's file system or more: nothing more starts ahead until the loop puts them in place.
    bool AheadOutputsFillTheirDisk();
    // The job's converter failed for lack of space while other books of the run held some
    // (converted ahead, or at all when it was itself converted ahead), and it was not converted
    // again for that yet.
    bool RanOutOfSpaceBesideOthers(BookJob& job);
    // The job's converter failed for memory under a share of the budget: alone, under the whole
    // budget, it might convert.
    bool RanOutOfMemoryBesideOthers(BookJob& job);
    // Ends and forgets the entries after `index` started ahead (all of them, or those whose
    // converter still runs): the loop converts them at their turns.
    void TakeBackAfter(int index, bool runningOnly);
    // The job converts again (the loop's own now): its converter ends, its output goes.
    void Again(BookJob& job);

    RunRequest m_request;
    RunObserver& m_observer;
    ConversionSetup m_setup;
    ConverterRuntime m_runtime;
    ConversionSummary m_summary;
    RunOutputs m_outputs;
    ConverterCall m_call;  // how each book's converter is started, once provisioned
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
    bool m_filling = false;  // FillAhead is under way
    QString m_runFolderSeen;
    std::vector<char> m_told;  // by entry (1-based): its outcome was told
    QStringList m_sources;     // every entry's text when the loop began
    QStringList m_roots;       // the folder each entry was added from ("": by itself)
    QSet<int> m_retriedForSpace;
    // Every entry between its start and its end, by number; and the look-ahead that chooses
    // which start before the loop reaches them.
    std::map<int, std::unique_ptr<BookJob>> m_jobs;
    std::unique_ptr<LookAhead> m_lookAhead;
    QTimer m_fillTimer;
    QTimer m_timeLimitTimer;
    // The logs of the books not converted so far, in the order they failed.
    std::vector<FailedLog> m_failedLogs;
};

}  // namespace bq
