#pragma once

#include <QElapsedTimer>

#include <functional>
#include <vector>

namespace bq {

// The look-ahead of a conversion run: while the run's loop is on one entry, the converters of
// the entries after it already run, never more than a fixed number at once. The look-ahead only
// chooses; the run starts the entries it chooses and tells it what became of them.
//
// The loop's own entry always has a converter; the other converters (one fewer than allowed)
// take, among the entries within reach that are not started yet, the one expected to take
// longest (without estimates, the next in list order). So a long book near the end of a list no
// longer becomes the batch's tail: a batch takes about max(total / K, longest). Once the loop's
// own converter has ended, its place goes to the loop's next entry at once: the loop notices the
// end only at its next poll, and no core waits for that meanwhile.
//
// The loop still walks the entries one by one in list order; for each it either finds the entry
// already started ahead, or starts it itself and says so. Entries are known by their number
// (1-based).
//
// With one converter at once nothing is ever started ahead: the run is the one-at-a-time run.
// Otherwise at most kAheadPerConverter × (converters - 1) entries (kMostAhead at most) are
// started before the loop reaches them, so what the run holds does not grow with the list. That
// reach is wide enough for a long book dozens of entries on to start at once, and for the free
// converters to go on through the short books behind a long one (a book that takes a minute is
// worth dozens of small ones); each entry started ahead holds only its finished output, under a
// temporary name beside its old output (and the lock on it), until the loop puts it in place.
// How long an entry is expected to take is asked once, when it comes within reach; one turn
// of the message loop asks for kEstimateBudgetMs at most, the rest wait for the next turns.
//
// The run fills free places whenever the message loop turns (a timer every kFillIntervalMs);
// starts beyond the first in one turn wait for the next once kFillBudgetMs has gone.
class LookAhead {
  public:
    static constexpr int kAheadPerConverter = 64;
    static constexpr int kMostAhead = 256;
    static constexpr int kEstimateBudgetMs = 20;
    static constexpr int kFillIntervalMs = 10;
    static constexpr int kFillBudgetMs = 5;

    // converters: at most this many at once (at least 1); lastEntry: the loop's bound.
    LookAhead(int converters, int lastEntry);

    // The loop is now on entry `index` (entries before it are finished).
    void Reached(int index) { m_current = index; }
    // True when entry `index` was already started (ahead or by the loop).
    bool WasStarted(int index) const {
        return index >= 1 && index < static_cast<int>(m_started.size()) && m_started[index] != 0;
    }
    // Entry `index` was started (by the loop, or ahead as chosen); `running`: a converter now
    // runs for it.
    void Started(int index, bool running);
    // The converter of entry `index` has ended.
    void Ended(int index);
    // Entry `index` was started but the run ended it again: the loop starts it at its turn.
    void Forget(int index);
    // Chooses nothing more (the run stops).
    void Stop() { m_stopped = true; }

    // The entries whose converters run, as far as the look-ahead knows.
    const std::vector<int>& RunningEntries() const { return m_running; }
    // Converters running, and the most there ever were at once.
    int Running() const { return static_cast<int>(m_running.size()); }
    int PeakRunning() const { return m_peakRunning; }

    // A new turn of the message loop begins: estimates may be asked again.
    void BeginTurn() { m_turn.start(); }
    // The entry to start ahead now, 0 for none: a place is free, and it is within reach, not
    // started, and allowed to start (mayStart), the longest expected first (expected: how long
    // an entry is expected to take, in any unit; empty: list order, where an entry that may not
    // start holds back the ones after it), the loop's next entry first once the loop's own
    // converter has ended.
    int Choose(const std::function<bool(int)>& mayStart,
               const std::function<double(int)>& expected = {});

  private:
    bool LoopsOwnRuns() const;

    int m_converters;
    int m_lastEntry;
    int m_current = 0;                // the entry the loop is on
    std::vector<char> m_started;      // by entry: started ahead or by the loop
    std::vector<double> m_estimates;  // by entry, asked once; < 0 not asked yet
    std::vector<int> m_running;
    int m_peakRunning = 0;
    bool m_stopped = false;
    QElapsedTimer m_turn;  // since the start of this turn
};

}  // namespace bq
