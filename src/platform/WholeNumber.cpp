#include "platform/WholeNumber.h"

#include <algorithm>

namespace bq {

std::optional<int> WholeNumberIn(QStringView text, int least, int most, int mostDigits) {
    // Nine digits always fit an int.
    if (text.isEmpty() || text.size() > std::min(mostDigits, 9)) {
        return std::nullopt;
    }
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

}  // namespace bq
