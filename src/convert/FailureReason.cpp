#include "convert/FailureReason.h"

#include "fs/PathText.h"
#include "platform/RunTimeError.h"
#include "process/ChildProcess.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstring>

namespace bq {

namespace {

// How much of a log's end is read for its last lines.
constexpr qint64 kLogTail = 64 * 1024;

// Lines that are the converter's scaffolding rather than its message: a traceback's frames and
// markers, progress lines.
bool IsScaffolding(const QString& line) {
    static const QRegularExpression frame(
        QStringLiteral(R"re(^(File ".*", line \d+|Traceback \())re"));
    static const QRegularExpression markers(QStringLiteral(R"(^[\^~\s]+$)"));
    return frame.match(line).hasMatch() || markers.match(line).hasMatch();
}

QString Shorten(QString text, const QString& sourcePath) {
    if (!sourcePath.isEmpty()) {
        text.replace(sourcePath, FileNamePart(sourcePath));
    }
    constexpr qsizetype kLongest = 300;
    if (text.size() > kLongest) {
        text = text.left(kLongest - 3) + QStringLiteral("...");
    }
    return text;
}

}  // namespace

QString ReasonFromConverterLog(const QString& logText, const QString& sourcePath) {
    const QStringList lines = logText.split(QLatin1Char('\n'));
    QString last;
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = it->trimmed();
        if (!line.isEmpty() && !IsScaffolding(line)) {
            last = line;
            break;
        }
    }
    if (last.isEmpty()) {
        return {};
    }
    // A Python exception: "module.SomeError: message".
    static const QRegularExpression exception(
        QStringLiteral(R"(^(?:[A-Za-z_][\w]*\.)*([A-Za-z_]\w*(?:Error|Exception|Exit)):\s*(.*)$)"));
    const QRegularExpressionMatch match = exception.match(last);
    if (!match.hasMatch()) {
        return Shorten(last, sourcePath);
    }
    const QString type = match.captured(1);
    const QString message = match.captured(2).trimmed();
    if (type == QLatin1String("DRMError")) {
        return QStringLiteral(
            "it is protected by DRM (copy protection), which the converter "
            "cannot open; only DRM-free books can be converted");
    }
    if (message.contains(QLatin1String("Not a ZIP file"), Qt::CaseInsensitive) ||
        type == QLatin1String("BadZipfile") || type == QLatin1String("BadZipFile")) {
        return QStringLiteral(
            "it is not a valid EPUB file (not a ZIP archive, or a damaged or "
            "empty one)");
    }
    static const QRegularExpression notEpub(
        QStringLiteral(R"(is not a valid EPUB file\s*(\(.*\))?)"));
    const QRegularExpressionMatch epub = notEpub.match(message);
    if (epub.hasMatch()) {
        const QString detail = epub.captured(1);
        return detail.isEmpty() ? QStringLiteral("it is not a valid EPUB file")
                                : QStringLiteral("it is not a valid EPUB file ") + detail;
    }
    if (message.isEmpty()) {
        return Shorten(type, sourcePath);
    }
    return Shorten(message, sourcePath);
}

QString ReasonFromConverterLogFile(const QString& logFile, const QString& sourcePath) {
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const qint64 size = file.size();
    if (size > kLogTail) {
        file.seek(size - kLogTail);
    }
    return ReasonFromConverterLog(QString::fromUtf8(file.readAll()), sourcePath);
}

QString ReasonFromExitCode(std::int32_t exitCode) {
    // A start error is the base plus a small error number; any other negative code means the
    // converter's end was not seen (another part of the program reaped it).
    if (exitCode < 0 && exitCode - kStartErrorBase > 0xFFFF) {
        return QStringLiteral("the converter's end could not be observed; convert the book again");
    }
    if (exitCode < 0) {
        const int number = exitCode - kStartErrorBase;
        return QStringLiteral("the converter could not be started (%1)")
            .arg(ErrorDescription(number).isEmpty() ? QString::number(number)
                                                    : ErrorDescription(number));
    }
    return QStringLiteral("the converter stopped with exit code %1").arg(exitCode);
}

namespace {

// Whether the end of a log holds any of the signs.
bool LogTailHolds(const QString& logFile, std::initializer_list<const char*> signs) {
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    file.seek(std::max<qint64>(0, file.size() - kLogTail));
    const QByteArray tail = file.read(kLogTail);
    for (const char* sign : signs) {
        if (tail.contains(sign)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool ConverterRanOutOfMemory(const QString& logFile) {
    return LogTailHolds(logFile, {"MemoryError", "std::bad_alloc", "Cannot allocate memory",
                                  "out of memory", "Out of memory"});
}

bool ConverterRanOutOfSpace(const QString& logFile) {
    return LogTailHolds(logFile, {"No space left on device", "Disk quota exceeded", "ENOSPC"});
}

QString ReasonFromSignal(int signal) {
    if (signal == SIGKILL) {
        return QStringLiteral(
            "the converter was killed (perhaps the computer ran out of "
            "memory)");
    }
    return QStringLiteral("the converter was ended by signal %1 (%2)")
        .arg(signal)
        .arg(QString::fromLocal8Bit(::strsignal(signal)));
}

}  // namespace bq
