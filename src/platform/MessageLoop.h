#pragma once

#include <QElapsedTimer>

namespace bq {

// Lets the user-interface thread handle whatever is pending (repaints, clicks, drops) and
// returns. Long operations call it between steps so the window never freezes.
void YieldToMessageLoop();

// Waits intervalMs inside the message loop, so the window repaints and answers clicks meanwhile,
// also once the program has been asked to quit (without an application, it only waits).
void PauseInMessageLoop(int intervalMs);

// The program is ending (its window closed): long loops that yield (a folder scan) stop at their
// next step instead of running to their end first. A new window clears it.
void SetQuitRequested(bool requested);
bool QuitRequested();

// For loops with many small steps (a folder scan touches thousands of folders): Tick() at every
// step yields to the message loop only when kInterval has passed since the last yield, so the
// window answers within a few milliseconds while the loop does not pay for a turn of the message
// loop at every step.
class YieldTimer {
  public:
    static constexpr qint64 kIntervalMs = 8;

    YieldTimer() { m_sinceYield.start(); }
    void Tick() {
        if (m_sinceYield.elapsed() >= kIntervalMs) {
            YieldToMessageLoop();
            m_sinceYield.restart();
        }
    }

  private:
    QElapsedTimer m_sinceYield;
};

}  // namespace bq
