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
};

}  // namespace bq
