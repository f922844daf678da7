#include "platform/ErrorTrap.h"

#include "platform/DialogSeam.h"

#include <QLoggingCategory>

#include <filesystem>
#include <new>

Q_LOGGING_CATEGORY(lcErrorTrap, "brindlequill.errors")

namespace bq {

namespace {
thread_local int g_activeTraps = 0;
}

ErrorTrap::ErrorTrap(DialogSeam& dialogs, QString location, QString stamp)
    : ErrorTrap(
          [&dialogs](const QString& text) {
              dialogs.MsgBox(text, MbExclamation, QStringLiteral("Application Error"));
          },
          std::move(location), std::move(stamp)) {}

ErrorTrap::ErrorTrap(std::function<void(const QString&)> report, QString location, QString stamp)
    : m_show(std::move(report)), m_location(std::move(location)), m_stamp(std::move(stamp)) {
    ++g_activeTraps;
}

ErrorTrap::~ErrorTrap() {
    --g_activeTraps;
}

bool ErrorTrap::IsActive() {
    return g_activeTraps > 0;
}

QString ErrorTrap::ReportText(const QString& description, const QString& stamp,
                              const QString& location, int line) {
    return description + QStringLiteral("\r\n") + QStringLiteral("in ") + stamp + QLatin1Char('.') +
           location + QLatin1Char(' ') + QStringLiteral("at line ") + QString::number(line) +
           QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ") +
           QLatin1String(kSupportAddress);
}

RunTimeError ErrorTrap::ToRunTimeError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const RunTimeError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return RunTimeError(ErrOutOfMemory);
    } catch (const std::filesystem::filesystem_error& e) {
        return RunTimeError(ErrorNumberFromErrno(e.code().value()));
    } catch (const std::exception& e) {
        return RunTimeError(ErrInvalidCall, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        return RunTimeError(ErrInvalidCall);
    }
}

void ErrorTrap::Report(int line, std::exception_ptr error) {
    ++m_reports;
    const RunTimeError e = ToRunTimeError(error);
    qCWarning(lcErrorTrap).noquote()
        << m_location << "line" << line << "error" << e.number() << e.description() << e.source();
    const QString text = ReportText(e.description(), m_stamp, m_location, line);
    try {
        m_show(text);
    } catch (...) {
        qCWarning(lcErrorTrap) << "the error report could not be shown";
    }
}

}  // namespace bq
