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
// The least memory budget a setting or option may give, and the least share of it a converter
// gets however many run at once: calibre alone takes a few hundred MB.
inline constexpr std::uint64_t kLeastMemoryBudget = std::uint64_t{256} << 20;
// The budget on a machine whose memory cannot be told.
inline constexpr std::uint64_t kFallbackMemoryBudget = std::uint64_t{2} << 30;

// The "BookTimeLimit" setting's text as seconds: a whole number from 30 to 86400 (blanks
// around it allowed); nothing for any other text.
std::optional<int> BookTimeLimitFromText(const QString& text);

// The time limit a run uses: the "BookTimeLimit" setting when it holds one, else 30 minutes. A
// setting that holds anything else, or a store that cannot be read, is noted in the log and
// otherwise ignored.
std::chrono::milliseconds BookTimeLimit();

// A size as the "MemoryBudget" setting and --memory-budget write it: a whole number of bytes, or
// of kibibytes, mebibytes, gibibytes or tebibytes followed by K, M, G or T (any letter case, an
// optional "B" or "iB" after it: "4G", "4096M", "4GiB"), blanks around it allowed; at least
// kLeastMemoryBudget. Nothing for any other text.
std::optional<std::uint64_t> MemorySizeFromText(const QString& text);

// Half the machine's memory (kFallbackMemoryBudget when it cannot be told).
std::uint64_t DefaultMemoryBudget();

// The memory all converters of a run may take together: the "MemoryBudget" setting when it
// holds a size, else DefaultMemoryBudget(). A setting that holds anything else, or a store that
// cannot be read, is noted in the log and otherwise ignored.
std::uint64_t MemoryBudget();

// The memory limit of each converter when `converters` run at once: the budget shared among
// them, never under kLeastMemoryBudget. A book that fails for memory under its share converts
// again alone, under the whole budget (ConversionRun).
std::uint64_t BookMemoryLimit(std::uint64_t budget, int converters);

// "30 minutes", "45 seconds", "2 hours", "90 seconds": a limit as the reasons say it.
QString DurationText(std::chrono::milliseconds duration);
// "3 GB", "1.5 GB", "512 MB".
QString MemoryText(std::uint64_t bytes);

}  // namespace bq
