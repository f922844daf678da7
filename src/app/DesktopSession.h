#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <future>
#include <memory>

class QDBusPendingCallWatcher;
class QWidget;

namespace bq {

class ConversionSummary;

// What the desktop shows of the window's runs, over the session bus. While a run converts, the
// taskbar entry shows its progress and the books left (the launcher-entry signal docks and task
// managers read, com.canonical.Unity.LauncherEntry.Update). When a run ends while the window is
// not active, a notification (org.freedesktop.Notifications) says how many books were converted
// and names those that were not; clicking it raises the window; and the window asks for
// attention (QApplication::alert).
//
// Nothing here waits for the bus on the window's thread: the bus is reached on a thread of its
// own, signals are sent without an answer, and the notification's call is answered, or not, in
// the background. Without a session bus, or with a notification server that refuses or never
// answers, the window and its boxes are exactly as they are without a desktop; one line in the
// program's log says so.
class DesktopSession final : public QObject {
    Q_OBJECT

  public:
    // The session bus is reached from DBUS_SESSION_BUS_ADDRESS, or else the user's bus in
    // XDG_RUNTIME_DIR; never by starting one.
    // appName: the program's name as the notification gives it.
    DesktopSession(QWidget* window, const QString& appName);
    ~DesktopSession() override;
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // A run starts: its progress goes to the taskbar entry from now on.
    void RunStarted();
    // How far the run is (0 to 1) and how many books it has still to convert.
    void RunProgress(double fraction, int left);
    // The run has ended (summary null: it was refused or the window is closing, and nothing is
    // told): the taskbar entry shows no progress any more, and when the window is not active the
    // notification goes out and the window asks for attention. Once per run; later calls do
    // nothing.
    void RunEnded(const ConversionSummary* summary, bool windowActive);

    // True once the session bus is reached.
    bool OnTheBus() const { return m_onBus; }
    // Whether the notification server has said what it reads (until then a body is escaped as
    // for a server that reads markup).
    bool CapabilitiesRead() const { return m_capabilitiesRead; }
    // The desktop entry the program belongs to (the application's desktop file name, else
    // "brindlequill"), and the taskbar entry's name for it ("application://<id>.desktop").
    static QString DesktopId();
    static QString ApplicationUri();
    // The object the taskbar entry's signals come from.
    static QString LauncherEntryPath() { return QStringLiteral("/org/brindlequill/LauncherEntry"); }

    // What the notification says of a run: its summary line and its body.
    static QString NoticeTitle(const ConversionSummary& summary);
    static QString NoticeBody(const ConversionSummary& summary, bool markup);

  private slots:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

  private:
    void CheckConnected();
    void SendLauncherEntry(double progress, bool progressVisible, int count, bool countVisible);
    void Notify(const ConversionSummary& summary);

    QPointer<QWidget> m_window;
    QString m_appName;
    QString m_connectionName;
    // The bus is reached on a thread of its own: its outcome ("" or why not), polled here.
    std::future<QString> m_connecting;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    QTimer m_poll;
    bool m_onBus = false;
    // A server is taken to read markup until its capabilities say otherwise: a book's "<b>" shown
    // as "&lt;b&gt;" is a small fault, a name read as markup is not.
    bool m_bodyMarkup = true;
    bool m_capabilitiesRead = false;

    bool m_running = false;
    bool m_shown = false;  // the taskbar entry shows this run's progress
    long m_lastPercent = -1;
    int m_lastLeft = -1;
    uint m_notification = 0;  // the id of the last notification the server gave
};

}  // namespace bq
