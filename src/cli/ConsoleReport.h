#pragma once

#include "convert/RunObserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <vector>

namespace bq {

class ConversionSummary;

// Writes one line to standard error (a closed or broken stream is no failure). Names and reasons
// in it must have been made safe to show (TerminalSafe) where they were put in.
void PrintLine(const QString& line);
// A box's text on one line: its line breaks (CR LF, CR, LF) become "; ".
QString OneLine(const QString& text);

// The command line's face of a conversion run: one line per book on standard error
// ("[12/400] Emma.epub → /out/Emma.mobi (1.3 s)", or "… failed: <reason>"), or on a terminal a
// progress line instead (books done of all, time taken, time left); the run's summary at the
// end, in the words every face uses (SummaryText); and, when asked, every book's result as JSON.
class ConsoleReport final : public RunObserver {
  public:
    ConsoleReport(QStringList books, bool quiet);
    ConsoleReport(const ConsoleReport&) = delete;
    ConsoleReport& operator=(const ConsoleReport&) = delete;

    void Refused(const QString& message) override;
    void Started(int entries) override;
    void BookDone(const BookOutcome& outcome) override;
    void RunEnded(const ConversionSummary& summary) override;
    void ErrorReport(const QString& text) override;

    // Ctrl-C, or a signal to end: says what happens now.
    void Interrupted(int signalNumber);
    // Every book's result, for the JSON summary (see WriteSummaryFile): names exactly as they are.
    QJsonArray JsonEntries() const;

  private:
    void ShowProgress();
    void ClearProgress();

    QStringList m_books;
    bool m_quiet;
    bool m_terminal;
    int m_done = 0;
    bool m_progressShown = false;
    QString m_notToldReason = QStringLiteral("the run was stopped");
    QElapsedTimer m_clock;
    QTimer m_ticker;
    std::vector<BookOutcome> m_outcomes;  // by entry, index 0 for entry 1; result unset: none
    std::vector<bool> m_told;
};

}  // namespace bq
