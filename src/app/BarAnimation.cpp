#include "app/BarAnimation.h"

#include "app/ProgressDisplay.h"
#include "platform/RunTimeError.h"

#include <cmath>

namespace bq {

double RoundHalfEven(double value) {
    // std::round takes halves away from zero; a half goes to the even neighbour instead.
    if (std::fabs(value - std::trunc(value)) == 0.5) {
        return 2.0 * std::round(value / 2.0);
    }
    return std::round(value);
}

QString BarTextAt(const QString& caption, std::int64_t ticks) {
    QString text = caption;
    if (!caption.isEmpty()) {
        text += QStringLiteral(", ");
    }
    return text + QStringLiteral("Please wait.. ") + QString::number(ticks - kFirstCountedTick);
}

std::optional<double> BarValueAt(std::int64_t ticks, std::int32_t startValue,
                                 std::int32_t itemCount) {
    if (ticks < kFirstCountedTick || (ticks - kFirstCountedTick) % kTicksPerValueStep != 0) {
        return std::nullopt;
    }
    if (itemCount == 0) {
        RaiseError(ErrDivisionByZero, QStringLiteral("BarAnimation"));
    }
    const double share = 100.0 / itemCount;
    const double step = RoundHalfEven(share / 10.0);
    const double cap = RoundHalfEven(share + startValue - step);
    const double steps = static_cast<double>((ticks - kFirstCountedTick) / kTicksPerValueStep);
    const double value = steps * step + startValue;
    return value < cap ? value : cap;
}

void BarAnimation::Tick(std::int64_t ticks, std::int32_t itemCount) {
    if (ticks == 1) {
        m_caption = m_bar.Text();
        m_startValue = static_cast<std::int32_t>(std::lrint(m_bar.Value()));
        m_itemCount = itemCount;
    }
    if (ticks <= 0) {
        m_bar.SetText(m_caption.isEmpty() ? QStringLiteral("Progress Bar") : m_caption);
        return;
    }
    if (ticks >= kFirstCountedTick) {
        m_bar.SetText(BarTextAt(m_caption, ticks));
        if (const std::optional<double> value = BarValueAt(ticks, m_startValue, m_itemCount)) {
            m_bar.SetValue(*value);
        }
    }
}

}  // namespace bq
