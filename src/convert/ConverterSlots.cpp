// How many converters a conversion run keeps going at once: the cores the program may use, or
// the "Jobs" setting.
#include "convert/ConverterSlots.h"

#include "platform/ErrorTrap.h"
#include "platform/SettingsStore.h"
#include "platform/WholeNumber.h"

#include <QLoggingCategory>

#include <sched.h>
#include <algorithm>
#include <exception>

Q_LOGGING_CATEGORY(lcSlots, "brindlequill.conversion")

namespace bq {

int DefaultConverterCount() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    int count = 1;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0) {
        count = CPU_COUNT(&cores);
    }
    return std::clamp(count, 1, kMostDefaultConverters);
}

std::optional<int> ConverterCountFromText(const QString& text) {
    return WholeNumberIn(QStringView(text).trimmed(), 1, kMostConverters, 4);
}

int ConverterCount() {
    const int fallback = DefaultConverterCount();
    QString text;
    try {
        text = GetSetting(Setting::Jobs);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcSlots).noquote()
            << "The setting Jobs could not be read (" + error.description() +
                   QStringLiteral("); %1 converters at once.").arg(fallback);
        return fallback;
    }
    if (text.isEmpty()) {
        return fallback;
    }
    if (const std::optional<int> count = ConverterCountFromText(text)) {
        return *count;
    }
    qCWarning(lcSlots).noquote()
        << QStringLiteral(
               "The setting Jobs=\"%1\" is not a whole number from 1 to %2 and is ignored; %3 "
               "converters at once.")
               .arg(text)
               .arg(kMostConverters)
               .arg(fallback);
    return fallback;
}

}  // namespace bq
