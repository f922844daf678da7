#include "platform/MessageLoop.h"

#include <QCoreApplication>

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

}  // namespace bq
