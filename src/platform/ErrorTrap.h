#pragma once

#include "platform/RunTimeError.h"

#include <QString>

#include <exception>
#include <functional>
#include <utility>

namespace bq {

class DialogSeam;

// The error trap of a user-event handler. The handler runs its statements through Line() with
// their numbers (100, 102, ...). When a statement fails, the "Application Error" box shows the
// error report and the handler goes on with the next statement. A failing If test counts as
// passed (Test() answers true).
class ErrorTrap {
  public:
    static constexpr const char* kDefaultStamp = "Quorvane2021/08/31";
    static constexpr const char* kSupportAddress = "support@brindlequill.org";

    // location: the window or module and the handler, e.g. "Form1.Form_Load".
    ErrorTrap(DialogSeam& dialogs, QString location,
              QString stamp = QString::fromLatin1(kDefaultStamp));
    // The same trap, its reports handed to `report` (which shows them as the box would).
    ErrorTrap(std::function<void(const QString&)> report, QString location,
              QString stamp = QString::fromLatin1(kDefaultStamp));
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    template <typename Statement>
    void Line(int number, Statement&& statement) {
        try {
            std::forward<Statement>(statement)();
        } catch (...) {
            Report(number, std::current_exception());
        }
    }

    template <typename Condition>
    bool Test(int number, Condition&& condition) {
        try {
            return static_cast<bool>(std::forward<Condition>(condition)());
        } catch (...) {
            Report(number, std::current_exception());
            return true;
        }
    }

    // The text of the error report for an error at a line of a location.
    static QString ReportText(const QString& description, const QString& stamp,
                              const QString& location, int line);

    // Turns any exception into the run-time error it stands for.
    static RunTimeError ToRunTimeError(std::exception_ptr error);

    // True while a trapped handler runs: handlers without a trap of their own let their errors
    // travel to it instead of reporting them themselves.
    static bool IsActive();

    int reportsShown() const { return m_reports; }

  private:
    void Report(int line, std::exception_ptr error);

    std::function<void(const QString&)> m_show;
    QString m_location;
    QString m_stamp;
    int m_reports = 0;
};

}  // namespace bq
