#pragma once

#include <QString>

#include <stdexcept>

namespace bq {

// The run-time error numbers the program raises and reports.
enum ErrorNumber : int {
    ErrInvalidCall = 5,
    ErrOverflow = 6,
    ErrOutOfMemory = 7,
    ErrSubscriptOutOfRange = 9,
    ErrDivisionByZero = 11,
    ErrTypeMismatch = 13,
    ErrFileNotFound = 53,
    ErrPermissionDenied = 70,
    ErrPathFileAccess = 75,
    ErrPathNotFound = 76,
    ErrInvalidPicture = 481,
    ErrBufferTooSmall = 20476,
};

// The standard description of an error number ("" for a number the program never raises).
QString ErrorDescription(int number);

// A run-time error: a number, its description and the routine or component that raised it.
// Helpers throw it; the error trap of a handler catches it and shows the error report.
class RunTimeError : public std::runtime_error {
  public:
    explicit RunTimeError(int number, QString description = {}, QString source = {});

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const QString& source() const noexcept { return m_source; }

  private:
    int m_number;
    QString m_description;
    QString m_source;
};

[[noreturn]] void RaiseError(int number, const QString& source = {},
                             const QString& description = {});

// Maps a system error number (errno) to the program's run-time error numbers.
int ErrorNumberFromErrno(int errnoValue);

// The system's own words for a system error number (strerror), for messages that quote it.
QString SystemErrorText(int errnoValue);

// Raises the run-time error that matches errnoValue.
[[noreturn]] void RaiseErrno(int errnoValue, const QString& source = {});

}  // namespace bq
