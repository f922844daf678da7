#pragma once

#include <QString>

#include <cstdint>

namespace bq {

class ConversionSummary;

// What became of one entry, as a run tells it the moment it knows.
struct BookOutcome {
    enum class Result { Converted, Failed, SkippedAsItsOwnOutput, UpToDate, Stopped };
    int index = 0;  // 1-based, in the list as it stood when the run started
    QString source;
    QString output;
    Result result = Result::Failed;
    QString reason;        // why it failed ("" otherwise)
    double seconds = 0.0;  // from its converter's start to its end
};

// Whoever follows a conversion run: the window, the command line's report, a test. The run tells
// it what happens, in order, and asks it the little it needs to know from outside; it never
// reaches into the run. Every event may raise: the run reports the error as a failure of the
// statement that told it (the window's error report, with that statement's line) and goes on.
//
// A run that is refused tells Refused() only. Otherwise: Started(), then Busy(true) and
// Preparing() while the converter is prepared, then for each entry in list order Busy(true),
// Progress(), BookStarted(), StillWaiting() while its converter runs, and BookDone() once its
// outcome is known; at the end Busy(false), Progress(0), Idle() and RunEnded() with the summary.
// A run ended by the window closing tells nothing after the entries.
class RunObserver {
  public:
    virtual ~RunObserver() = default;

    // The run will not start; message says why ("No files added.").
    virtual void Refused(const QString& message) = 0;
    // The run has passed its checks and may be stopped from now on; it converts `entries` books.
    virtual void Started(int entries) { static_cast<void>(entries); }
    // The run's busy mark (the window's hourglass) goes on or off.
    virtual void Busy(bool busy) { static_cast<void>(busy); }
    // The converter is being prepared.
    virtual void Preparing() {}
    // How far the run is: 0 to 100, the share of the list (as it stands now) reached so far.
    virtual void Progress(double percent) { static_cast<void>(percent); }
    // Entry `index` takes its turn.
    virtual void BookStarted(int index, const QString& source) {
        static_cast<void>(index);
        static_cast<void>(source);
    }
    // The run is still waiting for the converter of the entry whose turn it is: ticks is the
    // number of polls (about 100 ms each) since the wait began, from 1; 0 once the wait is over.
    virtual void StillWaiting(std::int64_t ticks) { static_cast<void>(ticks); }
    // What became of one entry. Entries are told in list order.
    virtual void BookDone(const BookOutcome& outcome) { static_cast<void>(outcome); }
    // The run shows nothing any more.
    virtual void Idle() {}
    // The run has ended: what it did.
    virtual void RunEnded(const ConversionSummary& summary) { static_cast<void>(summary); }

    // A statement of the run failed unexpectedly: the error report's text (description,
    // location, line), shown to the person as an "Application Error".
    virtual void ErrorReport(const QString& text) = 0;

    // How many entries the list holds now (entries added during the run count in the progress
    // and the summary); -1: as many as the run converts.
    virtual int EntriesNow() const { return -1; }
};

}  // namespace bq
