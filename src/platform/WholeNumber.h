#pragma once

#include <QStringView>

#include <optional>

namespace bq {

// A whole number as a person or a settings file writes it: ASCII digits only (no sign, no
// blanks, no other script's digits), at most mostDigits of them, from least to most; nothing
// otherwise. Leading zeros count as digits.
std::optional<int> WholeNumberIn(QStringView text, int least, int most, int mostDigits = 9);

}  // namespace bq
