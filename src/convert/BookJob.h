#pragma once

#include "convert/KindleChoices.h"
#include "convert/MobiCheck.h"
#include "convert/OutputDestination.h"
#include "fs/OutputTemporary.h"
#include "process/ChildProcess.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace bq {

class RunOutputs;

// How every book of a run is converted: the same for the whole run once its converter is ready.
struct ConverterCall {
    QString program;
    std::vector<EnvironmentChange> environment;
    QString logFolder;
    // calibre's options after the source and the output.
    QStringList options;
    KindleFormat format = KindleFormat::Mobi6;
    bool skipUpToDate = false;
    std::chrono::milliseconds timeLimit{0};
};

// One book of a run, from its turn (or its start ahead of the loop) to its end: it owns its
// converter, the temporary output beside the old one, the converter's log and the read-back of
// the new MOBI, and it is always in one state:
//
//   Waiting ──Prepare/StartConverter──▶ Converting ──its converter ends──▶ Converted
//   Converted ──Conclude──▶ Checking (reading back) ──PutInPlace──▶ InPlace
//   and from any of these: Failed (with a reason), Skipped (its own output), UpToDate, or
//   Stopped (Stop: the run was stopped before it was done).
//
// The run decides when each step happens; the job does the step. Nothing of a job outlives it:
// its destructor ends whatever still runs and removes its temporary output.
class BookJob {
  public:
    enum class State {
        Waiting,     // placed and prepared, perhaps, but no converter started yet
        Converting,  // its converter runs
        Converted,   // its converter has ended (its verdict is not taken yet)
        Checking,    // its converter succeeded and its MOBI is being read back
        InPlace,     // its new MOBI replaced the old output
        Failed,      // Reason() says why
        Skipped,     // it would be its own output
        UpToDate,    // its output is newer than it
        Stopped,     // the run was stopped before it was done
    };

    // index: the entry's number in the run (1-based); ahead: started by the look-ahead before
    // the loop reached it.
    BookJob(int index, QString source, bool ahead);
    ~BookJob();
    BookJob(const BookJob&) = delete;
    BookJob& operator=(const BookJob&) = delete;

    int Index() const { return m_index; }
    const QString& Source() const { return m_source; }
    const QString& Output() const { return m_output; }
    const QString& Reason() const { return m_reason; }
    const QString& Log() const { return m_log; }
    // The converter's output, beside the old output ("" once it is put in place or removed).
    QString Temporary() const;
    State CurrentState() const { return m_state; }
    bool StartedAhead() const { return m_ahead; }
    // Seconds from its converter's start to now (0 without one).
    double Seconds() const;

    // Where its result goes under these destination options; root: the folder the entry was
    // added from when folders are kept below the output folder ("" otherwise).
    void Place(const OutputOptions& options, const QString& root);
    // Checks the book and its output and makes the temporary output; on a problem the job is
    // Failed, Skipped or UpToDate and starts no converter.
    void Prepare(RunOutputs& outputs, const ConverterCall& call);
    // Starts its converter (a prepared, Waiting job only): Converting, or Converted with the
    // start's error as its exit code.
    void StartConverter(const ConverterCall& call, std::uint64_t memoryLimit);
    // True once it has no converter running: looks at the converter and moves to Converted.
    bool ConverterEnded();
    // Its converter while it runs, for ending several at once (nullptr otherwise).
    ChildProcess* RunningConverter();
    // Kills its converter when it has run for limit or longer; true when it did.
    bool KillIfPast(std::chrono::milliseconds limit);
    // Takes its converter's verdict (a Converted job): Checking with its read-back started, or
    // Failed with the reason in the person's words. stopping: the run is being stopped (a
    // converter killed then did not run out of memory).
    void Conclude(const ConverterCall& call, bool stopping);
    // True once its read-back has ended (or it has none).
    bool ReadBackEnded();
    // Its book, read back whole, replaces the old output (InPlace), or it is Failed with why; a
    // Failed, Skipped or UpToDate job stays as it is (an UpToDate output made by an earlier book
    // of the run fails). Returns the state it ends in.
    State PutInPlace(RunOutputs& outputs);
    // The run was stopped before this book was done: its converter and read-back end at once
    // and its temporary output goes (Stopped).
    void Stop();
    // Ends its converter (the window answers during the grace) and read-back, removes its
    // temporary output and goes back to Waiting with a new place to be given: it converts again.
    void Again();

    // What its converter did.
    bool RanOutOfSpace() const;
    // Its converter ended for lack of memory, at its limit.
    bool RanOutOfMemory(bool stopping) const;
    bool Failed() const { return m_converterEnded && m_exitCode != 0; }
    std::uint64_t MemoryLimit() const { return m_memoryLimit; }

    // The steps the look-ahead ran for this entry before the loop came to it: an error one of
    // them raised is kept, and raised again when the loop comes to that step's line.
    template <typename Work>
    void RunAhead(int line, Work&& work) {
        try {
            work();
        } catch (...) {
            m_deferredErrors.emplace_back(line, std::current_exception());
        }
    }
    void RaiseDeferred(int line);

  private:
    void Fail(QString reason);
    void RemoveTemporary();

    int m_index;
    QString m_source;
    bool m_ahead;
    State m_state = State::Waiting;
    QString m_reason;
    QString m_output;
    // Below the output folder (keepFolders): the folder the output goes to, and that folder.
    QString m_outputBase;
    QString m_subFolder;
    std::optional<OutputTemporary> m_temporaryFile;
    QString m_log;
    std::optional<ChildProcess> m_converter;
    QElapsedTimer m_running;  // since its converter started
    std::uint64_t m_memoryLimit = 0;
    bool m_converterEnded = false;
    bool m_timedOut = false;  // its converter ran past the time limit and was killed
    std::int32_t m_exitCode = 0;
    bool m_signalled = false;
    MobiReadBack m_readBack;
    std::vector<std::pair<int, std::exception_ptr>> m_deferredErrors;
};

}  // namespace bq
