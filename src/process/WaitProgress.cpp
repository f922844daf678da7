// The arithmetic and the poll loop of a wait for a child process.
#include "process/WaitProgress.h"

#include "platform/MessageLoop.h"
#include "platform/RunTimeError.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace bq {

double RoundHalfEven(double value) {
    // std::round takes halves away from zero; a half goes to the even neighbour instead.
    if (std::fabs(value - std::trunc(value)) == 0.5) {
        return 2.0 * std::round(value / 2.0);
    }
    return std::round(value);
}

int NormalisedWindowStyle(std::optional<int> windowStyle) {
    if (!windowStyle || *windowStyle < 0 || *windowStyle > 6) {
        return 6;
    }
    return *windowStyle;
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
        RaiseError(ErrDivisionByZero, QStringLiteral("RunAndWait"));
    }
    const double share = 100.0 / itemCount;
    const double step = RoundHalfEven(share / 10.0);
    const double cap = RoundHalfEven(share + startValue - step);
    const double steps = static_cast<double>((ticks - kFirstCountedTick) / kTicksPerValueStep);
    const double value = steps * step + startValue;
    return value < cap ? value : cap;
}

void PollUntilEnded(const std::function<bool()>& hasEnded, const std::function<void(int)>& pause,
                    ProgressDisplay* bar, const QString& caption, std::int32_t startValue,
                    std::int32_t itemCount) {
    std::int64_t ticks = 0;
    bool ended = false;
    while (!ended) {
        ended = hasEnded();
        YieldToMessageLoop();
        pause(kPollIntervalMs);
        if (bar != nullptr) {
            YieldToMessageLoop();
            ++ticks;
            if (ticks >= kFirstCountedTick) {
                YieldToMessageLoop();
                bar->SetText(BarTextAt(caption, ticks));
                if (const std::optional<double> value = BarValueAt(ticks, startValue, itemCount)) {
                    bar->SetValue(*value);
                }
                YieldToMessageLoop();
            }
            YieldToMessageLoop();
        }
        YieldToMessageLoop();
    }
    if (bar != nullptr) {
        bar->SetText(caption.isEmpty() ? QStringLiteral("Progress Bar") : caption);
    }
}

void PauseInMessageLoop(int intervalMs) {
    const QDeadlineTimer deadline(intervalMs, Qt::PreciseTimer);
    if (QCoreApplication::instance() != nullptr) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(intervalMs);
        loop.exec();
    }
    // Without an application, or when the program is quitting and its loops end at once, the
    // wait is still kept: the poll must not spin.
    const qint64 left = deadline.remainingTime();
    if (left > 0) {
        QThread::msleep(static_cast<unsigned long>(left));
    }
}

}  // namespace bq
