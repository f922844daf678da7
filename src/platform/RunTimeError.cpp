#include "platform/RunTimeError.h"

#include <cerrno>
#include <cstring>

namespace bq {

QString ErrorDescription(int number) {
    switch (number) {
        case ErrInvalidCall:
            return QStringLiteral("Invalid procedure call or argument");
        case ErrOverflow:
            return QStringLiteral("Overflow");
        case ErrOutOfMemory:
            return QStringLiteral("Out of memory");
        case ErrSubscriptOutOfRange:
            return QStringLiteral("Subscript out of range");
        case ErrDivisionByZero:
            return QStringLiteral("Division by zero");
        case ErrTypeMismatch:
            return QStringLiteral("Type mismatch");
        case ErrFileNotFound:
            return QStringLiteral("File not found");
        case ErrPermissionDenied:
            return QStringLiteral("Permission denied");
        case ErrPathFileAccess:
            return QStringLiteral("Path/File access error");
        case ErrPathNotFound:
            return QStringLiteral("Path not found");
        case ErrInvalidPicture:
            return QStringLiteral("Invalid picture");
        case ErrBufferTooSmall:
            return QStringLiteral("Buffer too small");
        default:
            return {};
    }
}

RunTimeError::RunTimeError(int number, QString description, QString source)
    : std::runtime_error(
          (description.isEmpty() ? ErrorDescription(number) : description).toStdString()),
      m_number(number),
      m_description(description.isEmpty() ? ErrorDescription(number) : std::move(description)),
      m_source(std::move(source)) {}

void RaiseError(int number, const QString& source, const QString& description) {
    throw RunTimeError(number, description, source);
}

QString SystemErrorText(int errnoValue) {
    return QString::fromLocal8Bit(std::strerror(errnoValue));
}

int ErrorNumberFromErrno(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
            return ErrFileNotFound;
        case ENOTDIR:
            return ErrPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrPermissionDenied;
        case EINVAL:
            return ErrInvalidCall;
        case ENOMEM:
            return ErrOutOfMemory;
        case EOVERFLOW:
        case ERANGE:
            return ErrOverflow;
        default:
            return ErrPathFileAccess;
    }
}

void RaiseErrno(int errnoValue, const QString& source) {
    RaiseError(ErrorNumberFromErrno(errnoValue), source);
}

}  // namespace bq
