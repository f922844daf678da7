#pragma once

#include "platform/RunTimeError.h"

#include <functional>

// The number of the run-time error a call raises, or 0 when it raises none.
inline int RunTimeErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const bq::RunTimeError& e) {
        return e.number();
    }
    return 0;
}
