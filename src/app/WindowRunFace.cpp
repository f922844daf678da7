#include "app/WindowRunFace.h"

#include "app/DesktopSession.h"
#include "app/Form1.h"
#include "app/ProgressDisplay.h"
#include "convert/ConversionSummary.h"
#include "convert/SummaryText.h"
#include "fs/PathText.h"
#include "list/ConversionList.h"
#include "platform/DialogSeam.h"

#include <QPushButton>

#include <algorithm>

namespace bq {

WindowRunFace::WindowRunFace(Form1& window, ProgressDisplay& bar, DesktopSession& desktop)
    : m_window(window), m_bar(bar), m_desktop(desktop), m_waiting(bar) {}

void WindowRunFace::Refused(const QString& message) {
    m_window.Dialogs().MsgBox(message, MbOkOnly, m_window.AppTitle());
}

void WindowRunFace::Started(int entries) {
    m_entries = entries;
    m_window.PushButton2->setText(QStringLiteral("Stop Converting"));
    m_window.PushButton10->setEnabled(false);  // the choices hold for the whole run
    m_desktop.RunStarted();
}

void WindowRunFace::Busy(bool busy) {
    m_window.setMousePointer(busy ? MousePointer::Hourglass : MousePointer::Default);
    m_ending = m_ending || !busy;
}

void WindowRunFace::Preparing() {
    m_bar.SetText(QStringLiteral("Preparing.."));
}

void WindowRunFace::Progress(double percent) {
    m_bar.SetValue(percent);
    if (!m_ending) {
        m_desktop.RunProgress(percent / 100.0, std::max(0, m_entries - m_told));
    }
}

void WindowRunFace::BookStarted(int, const QString& source) {
    m_bar.SetText(QStringLiteral("Processing: ") + FileNamePart(source));
}

void WindowRunFace::StillWaiting(std::int64_t ticks) {
    m_waiting.Tick(ticks, ticks == 1 ? std::max(1, EntriesNow()) : 0);
}

void WindowRunFace::BookDone(const BookOutcome&) {
    ++m_told;
}

void WindowRunFace::Idle() {
    m_bar.SetText(QStringLiteral("Progress Bar"));
    m_window.PushButton2->setText(QStringLiteral("Start Converting"));
}

void WindowRunFace::RunEnded(const ConversionSummary& summary) {
    m_window.PushButton10->setEnabled(true);
    m_desktop.RunEnded(&summary, m_window.isActiveWindow());
    DialogSeam& dialogs = m_window.Dialogs();
    const QString& title = m_window.AppTitle();
    if (summary.provisioningFailed()) {
        dialogs.MsgBox(
            SummaryHeadline(summary) + QStringLiteral("\r\n\r\n") + SummaryDetails(summary),
            MbExclamation, title);
        return;
    }
    if (summary.AllDone()) {
        dialogs.MsgBox(SummaryHeadline(summary), MbOkOnly, title);
        return;
    }
    const int style = summary.failed() + summary.skipped() > 0 ? MbExclamation : MbOkOnly;
    if (!summary.logFolder().isEmpty()) {
        dialogs.MsgBoxWithFolder(SummaryHeadline(summary), SummaryDetails(summary), style, title,
                                 summary.logFolder());
        return;
    }
    dialogs.MsgBoxWithDetails(SummaryHeadline(summary), SummaryDetails(summary), style, title);
}

void WindowRunFace::ErrorReport(const QString& text) {
    m_window.Dialogs().MsgBox(text, MbExclamation, QStringLiteral("Application Error"));
}

int WindowRunFace::EntriesNow() const {
    return m_window.List().Count();
}

void WindowRunFace::ShowIdle(Form1& window, ProgressDisplay& bar) {
    window.setMousePointer(MousePointer::Default);
    window.PushButton2->setText(QStringLiteral("Start Converting"));
    window.PushButton10->setEnabled(true);
    bar.SetValue(0);
    bar.SetText(QStringLiteral("Progress Bar"));
}

}  // namespace bq
