#include "platform/SafeLogMessages.h"

#include "platform/TerminalText.h"

#include <QtGlobal>

namespace bq {

namespace {

QtMessageHandler g_previous = nullptr;

void SafeMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (g_previous != nullptr) {
        g_previous(type, context, TerminalSafe(message));
    }
}

}  // namespace

void ShowLogMessagesSafely() {
    if (g_previous == nullptr) {
        g_previous = qInstallMessageHandler(SafeMessage);
    }
}

}  // namespace bq
