#include "app/DesktopSession.h"

#include "convert/ConversionSummary.h"
#include "convert/SummaryText.h"
#include "fs/PathText.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLoggingCategory>
#include <QVariantMap>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

Q_LOGGING_CATEGORY(lcDesktop, "brindlequill.desktop")

namespace bq {

namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kLauncherEntry = QStringLiteral("com.canonical.Unity.LauncherEntry");

// How long the notification server may take to answer, in the background.
constexpr int kNotifyTimeoutMs = 5000;

// Runs a slot's work: nothing may leave a slot; what fails is one line in the log.
template <typename Work>
void AsSlot(const char* what, Work&& work) {
    try {
        work();
    } catch (...) {
        qCWarning(lcDesktop) << what << "failed";
    }
}

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, or the user's bus in XDG_RUNTIME_DIR;
// "" when there is none. A bus is never started ("autolaunch") for the program.
QString SessionBusAddress() {
    const QString given = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!given.isEmpty()) {
        return given;
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString socket = runtime + QStringLiteral("/bus");
    if (runtime.startsWith(QLatin1Char('/')) && QFileInfo(socket).exists()) {
        return QStringLiteral("unix:path=") + socket;
    }
    return {};
}

// The window's icon as the notification's picture: (iiibiiay), RGBA bytes.
QDBusArgument IconImage(const QWidget* window) {
    QImage image;
    if (window != nullptr && !window->windowIcon().isNull()) {
        image =
            window->windowIcon().pixmap(64, 64).toImage().convertToFormat(QImage::Format_RGBA8888);
    }
    QDBusArgument argument;
    argument.beginStructure();
    argument << image.width() << image.height() << static_cast<int>(image.bytesPerLine()) << true
             << 8 << 4
             << QByteArray(reinterpret_cast<const char*>(image.constBits()),
                           static_cast<qsizetype>(image.sizeInBytes()));
    argument.endStructure();
    return argument;
}

}  // namespace

DesktopSession::DesktopSession(QWidget* window, const QString& appName)
    : QObject(window),
      m_window(window),
      m_appName(appName),
      m_abandoned(std::make_shared<std::atomic<bool>>(false)) {
    static std::atomic<int> sessions{0};
    m_connectionName = QStringLiteral("brindlequill-desktop-%1").arg(++sessions);
    const QString address = SessionBusAddress();
    if (address.isEmpty()) {
        qCInfo(lcDesktop) << "No session bus: the desktop is not told of runs";
        return;
    }
    // Reaching the bus waits for its answer: never on the window's thread.
    std::packaged_task<QString()> reach(
        [address, name = m_connectionName, abandoned = m_abandoned] {
            const QDBusConnection bus = QDBusConnection::connectToBus(address, name);
            if (bus.isConnected() && !*abandoned) {
                return QString();
            }
            const QString problem = bus.isConnected() ? QStringLiteral("the window has closed")
                                                      : bus.lastError().message();
            QDBusConnection::disconnectFromBus(name);
            return problem.isEmpty() ? QStringLiteral("no answer") : problem;
        });
    m_connecting = reach.get_future();
    std::thread(std::move(reach)).detach();
    // Looked at soon, then ever less often while the bus does not answer.
    m_poll.setInterval(10);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        AsSlot("Reaching the session bus", [this] {
            m_poll.setInterval(std::min(m_poll.interval() * 2, 1000));
            CheckConnected();
        });
    });
    m_poll.start();
}

DesktopSession::~DesktopSession() {
    // Either the reaching thread sees the flag after connecting and lets go of the connection
    // itself, or it had connected before the flag was set and the connection is ours to drop,
    // whether or not the window's thread has heard of it yet.
    *m_abandoned = true;
    if (m_connecting.valid() || m_onBus) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

void DesktopSession::CheckConnected() {
    if (!m_connecting.valid() ||
        m_connecting.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    m_poll.stop();
    const QString problem = m_connecting.get();
    QDBusConnection bus(m_connectionName);
    if (!problem.isEmpty() || !bus.isConnected()) {
        qCInfo(lcDesktop).noquote()
            << "No session bus (" + problem + "): the desktop is not told of runs";
        return;
    }
    m_onBus = true;
    // Signals from any sender: naming the server would make Qt ask the bus who it is, and wait.
    bus.connect(QString(), kNotificationsPath, kNotifications, QStringLiteral("ActionInvoked"),
                this, SLOT(ActionInvoked(uint, QString)));
    bus.connect(QString(), kNotificationsPath, kNotifications, QStringLiteral("NotificationClosed"),
                this, SLOT(NotificationClosed(uint, uint)));
    // Whether the server reads markup in a body (then a book's "&" or "<" is escaped); a server
    // that does not answer is taken to read it.
    const QDBusMessage ask = QDBusMessage::createMethodCall(
        kNotifications, kNotificationsPath, kNotifications, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, kNotifyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                AsSlot("Reading the notification server's capabilities", [this, call] {
                    const QDBusPendingReply<QStringList> reply = *call;
                    if (!reply.isError()) {
                        m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
                        m_capabilitiesRead = true;
                    }
                });
            });
}

QString DesktopSession::DesktopId() {
    QString id = QGuiApplication::desktopFileName();
    if (id.endsWith(QStringLiteral(".desktop"))) {
        id.chop(8);
    }
    return id.isEmpty() ? QStringLiteral("brindlequill") : id;
}

QString DesktopSession::ApplicationUri() {
    return QStringLiteral("application://") + DesktopId() + QStringLiteral(".desktop");
}

void DesktopSession::RunStarted() {
    m_running = true;
    m_shown = false;
    m_lastPercent = -1;
    m_lastLeft = -1;
}

void DesktopSession::RunProgress(double fraction, int left) {
    if (!m_running || !m_onBus) {
        return;
    }
    const double progress = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    const long percent = std::lrint(progress * 100);
    if (percent == m_lastPercent && left == m_lastLeft) {
        return;  // nothing the taskbar would show differently
    }
    m_lastPercent = percent;
    m_lastLeft = left;
    m_shown = true;
    SendLauncherEntry(progress, true, left, left > 0);
}

void DesktopSession::RunEnded(const ConversionSummary* summary, bool windowActive) {
    if (!m_running) {
        return;
    }
    m_running = false;
    if (m_shown && m_onBus) {
        SendLauncherEntry(0, false, 0, false);
    }
    m_shown = false;
    if (summary == nullptr || windowActive) {
        return;
    }
    if (m_window) {
        QApplication::alert(m_window);
    }
    if (m_onBus) {
        Notify(*summary);
    }
}

void DesktopSession::SendLauncherEntry(double progress, bool progressVisible, int count,
                                       bool countVisible) {
    QDBusMessage update =
        QDBusMessage::createSignal(LauncherEntryPath(), kLauncherEntry, QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), progress);
    properties.insert(QStringLiteral("progress-visible"), progressVisible);
    properties.insert(QStringLiteral("count"), static_cast<qlonglong>(count));
    properties.insert(QStringLiteral("count-visible"), countVisible);
    update << ApplicationUri() << properties;
    QDBusConnection(m_connectionName).send(update);  // queued; no answer is waited for
}

QString DesktopSession::NoticeTitle(const ConversionSummary& summary) {
    return SummaryNoticeTitle(summary);
}

QString DesktopSession::NoticeBody(const ConversionSummary& summary, bool markup) {
    const QString body = SummaryNoticeBody(summary);
    return markup ? body.toHtmlEscaped() : body;
}

void DesktopSession::Notify(const ConversionSummary& summary) {
    QDBusMessage call = QDBusMessage::createMethodCall(kNotifications, kNotificationsPath,
                                                       kNotifications, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), DesktopId());
    hints.insert(QStringLiteral("category"), QStringLiteral("transfer.complete"));
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(IconImage(m_window)));
    call << m_appName << m_notification << DesktopId() << NoticeTitle(summary)
         << NoticeBody(summary, m_bodyMarkup)
         << QStringList{QStringLiteral("default"), QStringLiteral("Show")} << hints
         << static_cast<qint32>(-1);
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection(m_connectionName).asyncCall(call, kNotifyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* answered) {
                answered->deleteLater();
                AsSlot("Reading the notification server's answer", [this, answered] {
                    const QDBusPendingReply<uint> reply = *answered;
                    if (reply.isError()) {
                        qCInfo(lcDesktop).noquote() << "The desktop's notification was not shown:"
                                                    << reply.error().message();
                    } else {
                        m_notification = reply.value();
                    }
                });
            });
}

void DesktopSession::ActionInvoked(uint id, const QString& action) {
    if (id == 0 || id != m_notification || !m_window || action != QLatin1String("default")) {
        return;  // another program's notification, or another of its actions
    }
    AsSlot("Raising the window", [this] {
        if (m_window->isMinimized()) {
            m_window->showNormal();
        }
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    });
}

void DesktopSession::NotificationClosed(uint id, uint /*reason*/) {
    if (id == m_notification) {
        m_notification = 0;
    }
}

}  // namespace bq
