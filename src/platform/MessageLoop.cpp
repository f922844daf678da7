#include "platform/MessageLoop.h"

#include <QCoreApplication>

namespace bq {

void YieldToMessageLoop() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
}

}  // namespace bq
