#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

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
