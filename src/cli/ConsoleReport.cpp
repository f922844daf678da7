#include "cli/ConsoleReport.h"

#include "convert/ConversionSummary.h"
#include "convert/SummaryText.h"
#include "fs/PathText.h"
#include "platform/TerminalText.h"
#include "platform/WriteAll.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace bq {

namespace {

QString Clock(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return seconds >= 3600 ? QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'))
                           : QStringLiteral("%1:%2")
                                 .arg(seconds / 60)
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

const char* ResultName(BookOutcome::Result result) {
    switch (result) {
        case BookOutcome::Result::Converted:
            return "converted";
        case BookOutcome::Result::Failed:
            return "failed";
        case BookOutcome::Result::SkippedAsItsOwnOutput:
            return "skipped";
        case BookOutcome::Result::UpToDate:
            return "up to date";
        case BookOutcome::Result::Stopped:
            return "not converted";
    }
    return "failed";
}

}  // namespace

void PrintLine(const QString& line) {
    WriteAll(STDERR_FILENO, line.toUtf8() + '\n');
}

QString OneLine(const QString& text) {
    QString line = text;
    line.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList parts;
    for (const QString& part : line.split(QLatin1Char('\n'))) {
        if (!part.trimmed().isEmpty()) {
            parts << part.trimmed();
        }
    }
    return parts.join(QStringLiteral("; "));
}

ConsoleReport::ConsoleReport(QStringList books, bool quiet)
    : m_books(std::move(books)),
      m_quiet(quiet),
      m_terminal(::isatty(STDERR_FILENO) == 1),
      m_outcomes(static_cast<std::size_t>(m_books.size())),
      m_told(static_cast<std::size_t>(m_books.size()), false) {
    m_ticker.setInterval(1000);
    QObject::connect(&m_ticker, &QTimer::timeout, [this] { ShowProgress(); });
}

void ConsoleReport::Refused(const QString& message) {
    PrintLine(QStringLiteral("brindlequill: ") + TerminalSafe(OneLine(message)));
}

void ConsoleReport::ErrorReport(const QString& text) {
    ClearProgress();
    PrintLine(QStringLiteral("brindlequill: ") + TerminalSafe(OneLine(text)));
}

void ConsoleReport::Started(int) {
    m_clock.start();
    if (m_terminal && !m_quiet) {
        m_ticker.start();
        ShowProgress();
    }
}

void ConsoleReport::ShowProgress() {
    const qint64 elapsed = m_clock.elapsed();
    QString line =
        QStringLiteral("%1/%2 books, %3").arg(m_done).arg(m_books.size()).arg(Clock(elapsed));
    if (m_done > 0 && m_done < m_books.size()) {
        line += QStringLiteral(", about %1 left")
                    .arg(Clock(elapsed * (m_books.size() - m_done) / m_done));
    }
    WriteAll(STDERR_FILENO, "\r\033[K" + line.toUtf8());
    m_progressShown = true;
}

void ConsoleReport::ClearProgress() {
    if (m_progressShown) {
        WriteAll(STDERR_FILENO, "\r\033[K");
        m_progressShown = false;
    }
}

void ConsoleReport::BookDone(const BookOutcome& outcome) {
    const auto slot = static_cast<std::size_t>(outcome.index - 1);
    if (slot >= m_outcomes.size()) {
        return;
    }
    m_outcomes[slot] = outcome;
    m_told[slot] = true;
    ++m_done;
    if (outcome.result == BookOutcome::Result::Stopped) {
        return;  // the summary names them
    }
    const QString prefix = QStringLiteral("[%1/%2] %3")
                               .arg(outcome.index)
                               .arg(m_books.size())
                               .arg(TerminalSafe(FileNamePart(outcome.source)));
    const bool failed = outcome.result == BookOutcome::Result::Failed;
    if (failed || (!m_quiet && !m_terminal)) {
        ClearProgress();
        switch (outcome.result) {
            case BookOutcome::Result::Converted:
                PrintLine(QStringLiteral("%1 \u2192 %2 (%3 s)")
                              .arg(prefix, TerminalSafe(outcome.output))
                              .arg(outcome.seconds, 0, 'f', 1));
                break;
            case BookOutcome::Result::Failed:
                PrintLine(prefix + QStringLiteral(" failed: ") + TerminalSafe(outcome.reason));
                break;
            case BookOutcome::Result::SkippedAsItsOwnOutput:
                PrintLine(prefix + QStringLiteral(" skipped: its result would replace the file "
                                                  "itself"));
                break;
            case BookOutcome::Result::UpToDate:
                PrintLine(
                    prefix +
                    QStringLiteral(" skipped: %1 is up to date").arg(TerminalSafe(outcome.output)));
                break;
            case BookOutcome::Result::Stopped:
                break;
        }
    }
    if (m_terminal && !m_quiet) {
        ShowProgress();
    }
}

void ConsoleReport::Interrupted(int signalNumber) {
    ClearProgress();
    PrintLine(QStringLiteral("brindlequill: stopping; the books already converted are kept (%1 "
                             "again to end at once)")
                  .arg(signalNumber == SIGINT ? QStringLiteral("Ctrl-C")
                                              : QStringLiteral("the same signal")));
}

void ConsoleReport::RunEnded(const ConversionSummary& summary) {
    m_ticker.stop();
    ClearProgress();
    if (summary.provisioningFailed()) {
        m_notToldReason = QStringLiteral("the converter could not be prepared");
    }
    if (m_quiet && summary.failed() == 0 && !summary.provisioningFailed()) {
        return;
    }
    PrintLine(SummaryCounts(summary) +
              (m_clock.isValid() ? QStringLiteral(" Took %1.").arg(Clock(m_clock.elapsed()))
                                 : QString()));
    if (!m_quiet || summary.provisioningFailed()) {
        // Line by line: a name's own line break is shown, never taken for the end of a line.
        for (const QString& detail : SummaryDetailLines(summary)) {
            PrintLine(TerminalSafe(detail));
        }
    }
}

QJsonArray ConsoleReport::JsonEntries() const {
    QJsonArray entries;
    for (qsizetype i = 0; i < m_books.size(); ++i) {
        const auto slot = static_cast<std::size_t>(i);
        QJsonObject entry;
        entry[QStringLiteral("source")] = m_books[i];
        if (m_told[slot]) {
            const BookOutcome& outcome = m_outcomes[slot];
            entry[QStringLiteral("output")] = outcome.output;
            entry[QStringLiteral("result")] = QLatin1String(ResultName(outcome.result));
            entry[QStringLiteral("reason")] = outcome.reason;
            entry[QStringLiteral("seconds")] = qRound(outcome.seconds * 1000.0) / 1000.0;
        } else {
            entry[QStringLiteral("output")] = QString();
            entry[QStringLiteral("result")] = QStringLiteral("not converted");
            entry[QStringLiteral("reason")] = m_notToldReason;
            entry[QStringLiteral("seconds")] = 0;
        }
        entries.append(entry);
    }
    return entries;
}

}  // namespace bq
