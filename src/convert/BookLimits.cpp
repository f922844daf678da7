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

std::uint64_t BookMemoryLimit(int converters) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return kLeastBookMemoryLimit;
    }
    const std::uint64_t memory =
        static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    return std::max(kLeastBookMemoryLimit,
                    memory / 2 / static_cast<std::uint64_t>(std::max(1, converters)));
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
