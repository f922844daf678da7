#pragma once

#include "app/BarAnimation.h"
#include "convert/RunObserver.h"

#include <QString>

#include <cstdint>

namespace bq {

class DesktopSession;
class DialogSeam;
class Form1;
class ProgressDisplay;

// The window as one face of a conversion run: the busy mark (the hourglass), the start button
// that reads "Stop Converting" while the run may be stopped, the progress bar and its waiting
// animation, the boxes (refusals, error reports, the last box with the run's summary), and the
// desktop's taskbar entry and notification.
class WindowRunFace final : public RunObserver {
  public:
    WindowRunFace(Form1& window, ProgressDisplay& bar, DesktopSession& desktop);

    void Refused(const QString& message) override;
    void Started(int entries) override;
    void Busy(bool busy) override;
    void Preparing() override;
    void Progress(double percent) override;
    void BookStarted(int index, const QString& source) override;
    void StillWaiting(std::int64_t ticks) override;
    void BookDone(const BookOutcome& outcome) override;
    void Idle() override;
    void RunEnded(const ConversionSummary& summary) override;
    void ErrorReport(const QString& text) override;
    int EntriesNow() const override;

    // The window as it is when no run is under way: the default pointer, "Start Converting",
    // the bar at 0 showing "Progress Bar". For a run that ended unexpectedly.
    static void ShowIdle(Form1& window, ProgressDisplay& bar);

  private:
    Form1& m_window;
    ProgressDisplay& m_bar;
    DesktopSession& m_desktop;
    int m_entries = 0;
    int m_told = 0;
    bool m_ending = false;  // the run is being wound up: the taskbar shows no more progress
    // The bar while the run waits for a converter.
    BarAnimation m_waiting;
};

}  // namespace bq
