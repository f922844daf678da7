#pragma once

#include <QString>

#include <optional>

namespace bq {

// How many converters a conversion run keeps going at once.

// Each converter takes a few hundred MB, so the cores alone never ask for more than this.
inline constexpr int kMostDefaultConverters = 4;
// The most the "Jobs" setting may ask for.
inline constexpr int kMostConverters = 16;
// Converters run at this lower scheduling priority, so the window stays quick with every core
// busy.
inline constexpr int kConverterNiceness = 10;

// The cores this program may run on (its CPU affinity), at most kMostDefaultConverters, at
// least 1.
int DefaultConverterCount();

// The "Jobs" setting's text as a count: a whole number from 1 to kMostConverters (blanks around
// it allowed); nothing for any other text.
std::optional<int> ConverterCountFromText(const QString& text);

// The count a run uses: the "Jobs" setting when it holds a count, else DefaultConverterCount().
// A setting that holds anything else, or a store that cannot be read, is noted in the log and
// otherwise ignored.
int ConverterCount();

}  // namespace bq
