#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace bq {

namespace {

std::atomic<bool> g_quitRequested{false};

}  // namespace

void SetQuitRequested(bool requested) {
    g_quitRequested = requested;
}

bool QuitRequested() {
    return g_quitRequested;
}

void YieldToMessageLoop() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
}

void PauseInMessageLoop(int intervalMs) {
    const QDeadlineTimer deadline(intervalMs, Qt::PreciseTimer);
    if (QCoreApplication::instance() != nullptr) {
        // The events are handled as they come, until the deadline; a timer wakes the last wait.
        // Not a nested QEventLoop: once the application has been asked to quit (its last window
        // closed), such a loop returns at once and the wait would pass with the window frozen.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        while (!deadline.hasExpired()) {
            if (!wake.isActive()) {
                wake.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        return;
    }
    QThread::msleep(static_cast<unsigned long>(std::max(0, intervalMs)));
}

}  // namespace bq
