// The time and memory one book's conversion may take.
#include "convert/BookLimits.h"

#include "platform/ErrorTrap.h"
#include "platform/SettingsStore.h"
#include "platform/WholeNumber.h"

#include <QLoggingCategory>

#include <unistd.h>
#include <algorithm>
#include <exception>

Q_LOGGING_CATEGORY(lcLimits, "brindlequill.conversion")

namespace bq {

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

QString Counted(qint64 count, const char* one, const char* many) {
    return count == 1 ? QStringLiteral("1 %1").arg(QLatin1String(one))
                      : QStringLiteral("%1 %2").arg(count).arg(QLatin1String(many));
}

}  // namespace

std::optional<int> BookTimeLimitFromText(const QString& text) {
    return WholeNumberIn(QStringView(text).trimmed(), kShortestBookTimeLimitSeconds,
                         kLongestBookTimeLimitSeconds, 5);
}

std::chrono::milliseconds BookTimeLimit() {
    const std::chrono::milliseconds fallback = std::chrono::seconds(kDefaultBookTimeLimitSeconds);
    QString text;
    try {
        text = GetSetting(Setting::BookTimeLimit);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcLimits).noquote()
            << "The setting BookTimeLimit could not be read (" + error.description() +
                   QStringLiteral("); each book may take %1.").arg(DurationText(fallback));
        return fallback;
    }
    if (text.isEmpty()) {
        return fallback;
    }
    if (const std::optional<int> seconds = BookTimeLimitFromText(text)) {
        return std::chrono::seconds(*seconds);
    }
    qCWarning(lcLimits).noquote()
        << QStringLiteral(
               "The setting BookTimeLimit=\"%1\" is not a whole number of seconds from %2 to %3 "
               "and is ignored; each book may take %4.")
               .arg(text)
               .arg(kShortestBookTimeLimitSeconds)
               .arg(kLongestBookTimeLimitSeconds)
               .arg(DurationText(fallback));
    return fallback;
}

std::optional<std::uint64_t> MemorySizeFromText(const QString& text) {
    QString rest = text.trimmed().toUpper();
    for (const char* unitWord : {"IB", "B"}) {
        const QLatin1String word(unitWord);
        if (rest.size() > word.size() && rest.endsWith(word) &&
            (word.size() == 1 || !rest.at(rest.size() - word.size() - 1).isDigit())) {
            rest.chop(word.size());
            break;
        }
    }
    int shift = 0;
    if (!rest.isEmpty()) {
        const QChar unit = rest.back();
        const QString units = QStringLiteral("KMGT");
        if (const qsizetype at = units.indexOf(unit); at >= 0) {
            shift = 10 * static_cast<int>(at + 1);
            rest.chop(1);
        }
    }
    if (rest.isEmpty() || rest.size() > 15 || !std::all_of(rest.begin(), rest.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        })) {
        return std::nullopt;
    }
    const std::uint64_t number = rest.toULongLong();
    if (shift > 0 && number > (~std::uint64_t{0} >> shift)) {
        return std::nullopt;
    }
    const std::uint64_t bytes = number << shift;
    if (bytes < kLeastMemoryBudget) {
        return std::nullopt;
    }
    return bytes;
}

std::uint64_t DefaultMemoryBudget() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return kFallbackMemoryBudget;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2;
}

std::uint64_t MemoryBudget() {
    const std::uint64_t fallback = DefaultMemoryBudget();
    QString text;
    try {
        text = GetSetting(Setting::MemoryBudget);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcLimits).noquote()
            << "The setting MemoryBudget could not be read (" + error.description() +
                   QStringLiteral("); the converters may take %1 together.")
                       .arg(MemoryText(fallback));
        return fallback;
    }
    if (text.isEmpty()) {
        return fallback;
    }
    if (const std::optional<std::uint64_t> bytes = MemorySizeFromText(text)) {
        return *bytes;
    }
    qCWarning(lcLimits).noquote()
        << QStringLiteral(
               "The setting MemoryBudget=\"%1\" is not a size such as 4G or 4096M (at least %2) "
               "and is ignored; the converters may take %3 together.")
               .arg(text, MemoryText(kLeastMemoryBudget), MemoryText(fallback));
    return fallback;
}

std::uint64_t BookMemoryLimit(std::uint64_t budget, int converters) {
    const std::uint64_t share = budget / static_cast<std::uint64_t>(std::max(1, converters));
    return std::max(share, kLeastMemoryBudget);
}

QString DurationText(std::chrono::milliseconds duration) {
    const qint64 ms = duration.count();
    if (ms % 1000 != 0 || ms < 1000) {
        return Counted(ms, "millisecond", "milliseconds");
    }
    const qint64 seconds = ms / 1000;
    if (seconds % 3600 == 0) {
        return Counted(seconds / 3600, "hour", "hours");
    }
    if (seconds % 60 == 0) {
        return Counted(seconds / 60, "minute", "minutes");
    }
    return Counted(seconds, "second", "seconds");
}

QString MemoryText(std::uint64_t bytes) {
    if (bytes >= kGiB) {
        const double gb = static_cast<double>(bytes) / static_cast<double>(kGiB);
        return QStringLiteral("%1 GB").arg(
            QString::number(gb, 'f', 1).remove(QStringLiteral(".0")));
    }
    return QStringLiteral("%1 MB").arg(bytes / kMiB);
}

}  // namespace bq
