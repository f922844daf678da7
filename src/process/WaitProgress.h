#pragma once

#include "process/ProgressDisplay.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace bq {

// How a wait for a child animates the progress bar. One tick is one pass of the poll loop
// (about 100 ms); the bar changes from tick 50 on.

// How often the wait looks at the child.
inline constexpr int kPollIntervalMs = 100;
// The first tick that shows "Please wait.. " and the counter.
inline constexpr std::int64_t kFirstCountedTick = 50;
// The bar's value moves on every this many ticks from kFirstCountedTick.
inline constexpr std::int64_t kTicksPerValueStep = 150;

// Rounds to the nearest whole number, halves to the even neighbour (2.5 gives 2, 0.5 gives 0).
double RoundHalfEven(double value);

// Missing, below 0 or above 6 becomes 6; the converter shows no window either way.
int NormalisedWindowStyle(std::optional<int> windowStyle);

// The bar's text at a tick from kFirstCountedTick on: the caption and ", " when there is one,
// then "Please wait.. " and the ticks counted since kFirstCountedTick.
QString BarTextAt(const QString& caption, std::int64_t ticks);

// The value the bar takes at a tick, or nothing when the value does not change at that tick. The
// value creeps from startValue by a tenth of one item's share towards the end of that share
// without reaching it. An itemCount of 0 raises run-time error 11 (division by zero).
std::optional<double> BarValueAt(std::int64_t ticks, std::int32_t startValue,
                                 std::int32_t itemCount);

// The poll loop of a wait, over any child: hasEnded is asked at the start of every pass and the
// loop ends after the pass in which it said so; pause(kPollIntervalMs) waits between the
// message-loop yields of a pass. With a bar, the bar is animated while the child runs and shows
// the caption ("Progress Bar" for none) at the end.
void PollUntilEnded(const std::function<bool()>& hasEnded, const std::function<void(int)>& pause,
                    ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                    std::int32_t itemCount);

// Waits intervalMs inside the message loop, so the window repaints and answers clicks meanwhile.
void PauseInMessageLoop(int intervalMs);

}  // namespace bq
