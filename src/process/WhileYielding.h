#pragma once

#include "platform/MessageLoop.h"

#include <chrono>
#include <future>
#include <utility>

namespace bq {

// Runs work on a thread of its own while the user-interface thread keeps turning the message
// loop, so the window repaints and answers during a long blocking call. Gives work's result, or
// raises the exception work raised. Work must not touch widgets.
template <typename Work>
auto RunWhileYielding(Work&& work) -> decltype(work()) {
    auto done = std::async(std::launch::async, std::forward<Work>(work));
    while (done.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready) {
        YieldToMessageLoop();
    }
    return done.get();
}

}  // namespace bq
