#pragma once

namespace bq {

// What the checker program (mobi-check, beside the program) says of a MOBI file, as its exit
// status.
enum class MobiCheckStatus : int {
    Good = 0,
    Usage = 2,
    Missing = 3,
    Encrypted = 4,
    OutOfMemory = 5,
    Damaged = 6,
    // Asked for a joint file (--joint): it has no KF8 part, or its KF8 part does not read whole.
    NoKf8Part = 7,
    Kf8Damaged = 8,
};

}  // namespace bq
