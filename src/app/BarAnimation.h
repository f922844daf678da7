#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace bq {

class ProgressDisplay;

// How the progress bar shows a long wait for one book's converter. One tick is one poll of the
// wait (about 100 ms); the bar changes from tick kFirstCountedTick on: its text counts ("Please
// wait.. " and the ticks since), its value creeps towards the end of the book's share of the list
// without reaching it; when the wait is over it shows its caption again.

// The first tick that shows "Please wait.. " and the counter.
inline constexpr std::int64_t kFirstCountedTick = 50;
// The bar's value moves on every this many ticks from kFirstCountedTick.
inline constexpr std::int64_t kTicksPerValueStep = 150;

// Rounds to the nearest whole number, halves to the even neighbour (2.5 gives 2, 0.5 gives 0).
double RoundHalfEven(double value);

// The bar's text at a tick from kFirstCountedTick on: the caption and ", " when there is one,
// then "Please wait.. " and the ticks counted since kFirstCountedTick.
QString BarTextAt(const QString& caption, std::int64_t ticks);

// The value the bar takes at a tick, or nothing when the value does not change at that tick. The
// value creeps from startValue by a tenth of one item's share towards the end of that share
// without reaching it. An itemCount of 0 raises run-time error 11 (division by zero).
std::optional<double> BarValueAt(std::int64_t ticks, std::int32_t startValue,
                                 std::int32_t itemCount);

// The bar through one wait: Tick(1) takes the bar's text as the caption and its value as the
// start, with itemCount books in the list; Tick(0) ends the wait.
class BarAnimation {
  public:
    explicit BarAnimation(ProgressDisplay& bar) : m_bar(bar) {}
    void Tick(std::int64_t ticks, std::int32_t itemCount);

  private:
    ProgressDisplay& m_bar;
    QString m_caption;
    std::int32_t m_startValue = 0;
    std::int32_t m_itemCount = 1;
};

}  // namespace bq
