#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace bq {

// What one book's conversion may take before it is stopped, so that no book can hang or swamp a
// batch: the book fails alone with a plain reason and the batch goes on.

inline constexpr int kDefaultBookTimeLimitSeconds = 1800;
inline constexpr int kShortestBookTimeLimitSeconds = 30;
inline constexpr int kLongestBookTimeLimitSeconds = 86400;
// The least memory limit, whatever the machine: calibre alone takes a few hundred MB.
inline constexpr std::uint64_t kLeastBookMemoryLimit = std::uint64_t{1} << 30;

// The "BookTimeLimit" setting's text as seconds: a whole number from 30 to 86400 (blanks
// around it allowed); nothing for any other text.
std::optional<int> BookTimeLimitFromText(const QString& text);

// The time limit a run uses: the "BookTimeLimit" setting when it holds one, else 30 minutes. A
// setting that holds anything else, or a store that cannot be read, is noted in the log and
// otherwise ignored.
std::chrono::milliseconds BookTimeLimit();

// The memory limit of each converter when `converters` run at once: half the machine's memory
// shared among them, never under kLeastBookMemoryLimit.
std::uint64_t BookMemoryLimit(int converters);

// "30 minutes", "45 seconds", "2 hours", "90 seconds": a limit as the reasons say it.
QString DurationText(std::chrono::milliseconds duration);
// "3 GB", "1.5 GB", "512 MB".
QString MemoryText(std::uint64_t bytes);

}  // namespace bq
