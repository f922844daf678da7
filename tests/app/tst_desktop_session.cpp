// What the desktop is told of a run, on a private session bus with a recording notification
// server and a listener for the taskbar entry's signal: the calls the real window makes during
// a real run (with a stand-in converter) behind another window, the click on the notification
// that raises the window, nothing told when the window is active, a server that refuses or
// never answers, and no session bus at all. The boxes are the same in every case.
#include "app/DesktopSession.h"
#include "app/Form1.h"
#include "convert/ConversionSummary.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/FileContent.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedWindow.h"
#include "support/StandinArchive.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace bq;

namespace {

// A session bus of the test's own: dbus-daemon with a configuration that lets its one user do
// anything, listening in a folder of the test's.
class PrivateBus {
  public:
    explicit PrivateBus(const QString& folder) {
        const QString config = folder + QStringLiteral("/bus.conf");
        Write(config, QStringLiteral("<busconfig>\n"
                                     "  <type>session</type>\n"
                                     "  <listen>unix:dir=%1</listen>\n"
                                     "  <auth>EXTERNAL</auth>\n"
                                     "  <policy context=\"default\">\n"
                                     "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                     "    <allow eavesdrop=\"true\"/>\n"
                                     "    <allow own=\"*\"/>\n"
                                     "  </policy>\n"
                                     "</busconfig>\n")
                          .arg(folder)
                          .toUtf8());
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address")});
        if (m_daemon.waitForStarted(10000) && m_daemon.waitForReadyRead(10000)) {
            m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        }
    }
    ~PrivateBus() {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    QString address() const { return m_address; }

  private:
    QProcess m_daemon;
    QString m_address;
};

// What a notification server is asked, and a listener for the taskbar entry's signal.
class Recorder : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

  public:
    enum class Answer { Normally, Refusing, Never };
    struct Notice {
        QString app;
        uint replaces = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        QString imageSignature;
        int imageWidth = 0;
        int imageHeight = 0;
        QByteArray imageBytes;
    };
    struct Update {
        QString path;
        QString uri;
        QVariantMap properties;
    };

    Answer answer = Answer::Normally;
    QList<Notice> notices;
    QList<Update> updates;
    QList<QDBusMessage> unanswered;
    int capabilitiesAsked = 0;
    bool capabilitiesLater = false;  // GetCapabilities is answered only by AnswerCapabilities
    QList<QDBusMessage> capabilityQuestions;

    explicit Recorder(const QString& address)
        : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("recorder"))) {}
    ~Recorder() override { QDBusConnection::disconnectFromBus(QStringLiteral("recorder")); }

    bool Serve() {
        return m_bus.isConnected() &&
               m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                    QDBusConnection::ExportAllSlots) &&
               m_bus.registerService(QStringLiteral("org.freedesktop.Notifications")) &&
               m_bus.connect(QString(), QString(),
                             QStringLiteral("com.canonical.Unity.LauncherEntry"),
                             QStringLiteral("Update"), this,
                             SLOT(LauncherUpdate(QString, QVariantMap, QDBusMessage)));
    }

    // The notification server's signal: the person clicked the notification.
    void Click(uint id, const QString& action) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << action;
        m_bus.send(signal);
    }

  public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout) {
        Q_UNUSED(timeout);
        Notice notice{app, replaces, icon, summary, body, actions, hints, {}, 0, 0, {}};
        const QVariant image = hints.value(QStringLiteral("image-data"));
        if (image.canConvert<QDBusArgument>()) {
            const QDBusArgument argument = image.value<QDBusArgument>();
            notice.imageSignature = argument.currentSignature();
            int stride = 0, bits = 0, channels = 0;
            bool alpha = false;
            argument.beginStructure();
            argument >> notice.imageWidth >> notice.imageHeight >> stride >> alpha >> bits >>
                channels >> notice.imageBytes;
            argument.endStructure();
        }
        notices << notice;
        if (answer == Answer::Refusing) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not now"));
        } else if (answer == Answer::Never) {
            setDelayedReply(true);
            unanswered << message();
        }
        return static_cast<uint>(40 + notices.size());
    }
    QStringList GetCapabilities() {
        ++capabilitiesAsked;
        if (capabilitiesLater) {
            setDelayedReply(true);
            capabilityQuestions << message();
            return {};
        }
        return Capabilities();
    }
    static QStringList Capabilities() {
        return {QStringLiteral("actions"), QStringLiteral("body")};
    }
    void AnswerCapabilities() {
        for (const QDBusMessage& question : std::as_const(capabilityQuestions)) {
            m_bus.send(question.createReply(QVariant(Capabilities())));
        }
        capabilityQuestions.clear();
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& protocolVersion) {
        vendor = QStringLiteral("test");
        version = QStringLiteral("1");
        protocolVersion = QStringLiteral("1.2");
        return QStringLiteral("recorder");
    }
    void CloseNotification(uint) {}

  private slots:
    void LauncherUpdate(const QString& uri, const QVariantMap& properties,
                        const QDBusMessage& message) {
        updates << Update{message.path(), uri, properties};
    }

  private:
    QDBusConnection m_bus;
};

}  // namespace

class DesktopSessionTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work;
    QByteArray m_archive;
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<Recorder> m_recorder;
    QStringList m_books;
    QString m_out;

    // The window converting the test's three books into a fresh folder; the boxes it showed.
    QList<ScriptedDialogs::Box> Convert(Form1& form, ScriptedDialogs& dialogs) {
        QDir(m_out).removeRecursively();
        QDir().mkpath(m_out);
        form.List().Clear();
        form.List().Append(m_books);
        form.PushButton2->click();
        return dialogs.boxes;
    }
    std::unique_ptr<Form1> Window(ScriptedDialogs*& dialogs) {
        auto form = StandinWindow(dialogs, m_archive);
        form->Text1->setText(m_out);
        form->Option1->click();
        form->show();
        return form;
    }
    // The box's text with the folder of the kept logs, which differs from run to run, left out.
    static QString BoxText(const ScriptedDialogs::Box& box) {
        QString text = box.prompt;
        text.replace(QRegularExpression(QStringLiteral("logs/[0-9_-]+")),
                     QStringLiteral("logs/RUN"));
        return text + QStringLiteral("|%1|%2").arg(box.style).arg(box.title);
    }

  private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
            QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
        }
        UseBuiltHelpers();
        m_archive = MakeStandinArchive(m_work.path());
        QVERIFY(!m_archive.isEmpty());
        for (const auto& [name, content] :
             {std::pair{"a.epub", "GOOD"}, std::pair{"b & <c>.epub", "FAIL the book is broken"},
              std::pair{"d.epub", "GOOD"}}) {
            m_books << m_work.path() + QStringLiteral("/books/") + QLatin1String(name);
            Write(m_books.back(), QByteArray(content) + "\n");
        }
        m_out = m_work.path() + QStringLiteral("/out");

        m_bus = std::make_unique<PrivateBus>(m_work.path());
        QVERIFY(!m_bus->address().isEmpty());
        m_recorder = std::make_unique<Recorder>(m_bus->address());
        QVERIFY(m_recorder->Serve());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
    }
    void cleanupTestCase() {
        m_recorder.reset();
        m_bus.reset();
    }
    void init() {
        if (m_recorder) {
            m_recorder->answer = Recorder::Answer::Normally;
            m_recorder->notices.clear();
            m_recorder->updates.clear();
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus ? m_bus->address().toUtf8() : QByteArray());
    }

    // A run behind another window: the taskbar entry shows its progress and the books left,
    // then nothing; the notification says what the run did, with the program's icon; clicking it
    // raises the window. The same run with the window active tells no notification. The boxes
    // are those of a run without a desktop.
    void runBehindAnotherWindow() {
        ScriptedDialogs* dialogs = nullptr;
        const auto form = Window(dialogs);
        QTRY_VERIFY(form->Desktop().OnTheBus());
        QTRY_COMPARE(m_recorder->capabilitiesAsked, 1);
        QTRY_VERIFY(form->Desktop().CapabilitiesRead());
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        QVERIFY(!form->isActiveWindow());

        const auto boxes = Convert(*form, *dialogs);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].prompt.startsWith(QStringLiteral("Converted 2 of 3 books.")),
                 qPrintable(boxes[0].prompt));
        QCOMPARE(QFileInfo(m_out + QStringLiteral("/d.mobi")).size(),
                 QFileInfo(BQ_SAMPLE_MOBI).size());
        QTRY_COMPARE(m_recorder->notices.size(), 1);
        const Recorder::Notice notice = m_recorder->notices[0];
        QCOMPARE(notice.app, QStringLiteral("Brindlequill"));
        QCOMPARE(notice.replaces, 0u);
        QCOMPARE(notice.icon, QStringLiteral("brindlequill"));
        QCOMPARE(notice.summary, QStringLiteral("Converted 2 of 3 books"));
        QCOMPARE(notice.body, QStringLiteral("Not converted: b & <c>.epub"));  // no markup asked
        QCOMPARE(notice.actions, (QStringList{QStringLiteral("default"), QStringLiteral("Show")}));
        QCOMPARE(notice.hints.value(QStringLiteral("desktop-entry")).toString(),
                 QStringLiteral("brindlequill"));
        QCOMPARE(notice.imageSignature, QStringLiteral("(iiibiiay)"));
        QCOMPARE(notice.imageWidth, 64);
        QCOMPARE(notice.imageHeight, 64);
        QCOMPARE(notice.imageBytes.size(), 64 * 64 * 4);

        // The taskbar entry: progress while the run goes, the books left counting down, then
        // nothing shown; every signal from the program's object for its desktop entry.
        const auto updates = m_recorder->updates;
        QVERIFY(updates.size() >= 3);
        double progress = -1;
        QList<qlonglong> counts;
        for (qsizetype i = 0; i < updates.size(); ++i) {
            const auto& update = updates[i];
            QCOMPARE(update.path, DesktopSession::LauncherEntryPath());
            QCOMPARE(update.uri, QStringLiteral("application://brindlequill.desktop"));
            const bool last = i + 1 == updates.size();
            QCOMPARE(update.properties.value(QStringLiteral("progress-visible")).toBool(), !last);
            if (last) {
                QCOMPARE(update.properties.value(QStringLiteral("count-visible")).toBool(), false);
                break;
            }
            const double now = update.properties.value(QStringLiteral("progress")).toDouble();
            QVERIFY2(now >= progress && now <= 1.0, qPrintable(QString::number(now)));
            progress = now;
            const qlonglong count = update.properties.value(QStringLiteral("count")).toLongLong();
            QCOMPARE(update.properties.value(QStringLiteral("count-visible")).toBool(), count > 0);
            if (counts.isEmpty() || counts.back() != count) {
                counts << count;
            }
        }
        QCOMPARE(counts, (QList<qlonglong>{3, 2, 1}));
        QCOMPARE(progress, 1.0);

        // A click on another program's notification changes nothing; on this one, raises.
        m_recorder->Click(7, QStringLiteral("default"));
        QTest::qWait(100);
        QVERIFY(!form->isActiveWindow());
        m_recorder->Click(41, QStringLiteral("default"));
        QTRY_VERIFY(form->isActiveWindow());

        // Active: no notification; the next one would have replaced this one.
        dialogs->boxes.clear();
        m_recorder->updates.clear();
        const auto activeBoxes = Convert(*form, *dialogs);
        QTest::qWait(200);
        QCOMPARE(m_recorder->notices.size(), 1);
        QVERIFY(!m_recorder->updates.isEmpty());
        QCOMPARE(activeBoxes.size(), 1);
        QCOMPARE(BoxText(activeBoxes[0]), BoxText(boxes[0]));

        // Without a session bus the run converts the same and shows the same box.
        qputenv("DBUS_SESSION_BUS_ADDRESS",
                QFile::encodeName(QStringLiteral("unix:path=") + m_work.path() +
                                  QStringLiteral("/no-bus")));
        ScriptedDialogs* busless = nullptr;
        const auto without = Window(busless);
        QTest::qWait(100);
        QVERIFY(!without->Desktop().OnTheBus());
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        const auto buslessBoxes = Convert(*without, *busless);
        QCOMPARE(buslessBoxes.size(), 1);
        QCOMPARE(BoxText(buslessBoxes[0]), BoxText(boxes[0]));
        QCOMPARE(m_recorder->notices.size(), 1);
    }

    // A server that refuses the notification, or never answers it: the window's thread never
    // waits for it (each call returns at once), and the next run is told as before.
    // A run that ends before the server has said what it reads: the body is escaped as for a
    // server that reads markup, so no book's name is ever read as markup.
    void noticeBeforeTheCapabilitiesArrive() {
        m_recorder->capabilitiesLater = true;
        const int asked = m_recorder->capabilitiesAsked;
        ScriptedDialogs* dialogs = nullptr;
        const auto form = Window(dialogs);
        QTRY_VERIFY(form->Desktop().OnTheBus());
        QTRY_COMPARE(m_recorder->capabilitiesAsked, asked + 1);
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        Convert(*form, *dialogs);
        QTRY_COMPARE(m_recorder->notices.size(), 1);
        QVERIFY(!form->Desktop().CapabilitiesRead());
        QCOMPARE(m_recorder->notices[0].body,
                 QStringLiteral("Not converted: b &amp; &lt;c&gt;.epub"));
        m_recorder->capabilitiesLater = false;
        m_recorder->AnswerCapabilities();
        QTRY_VERIFY(form->Desktop().CapabilitiesRead());
    }

    void serverThatRefusesOrNeverAnswers_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("refusing") << int(Recorder::Answer::Refusing);
        QTest::newRow("never answering") << int(Recorder::Answer::Never);
    }
    void serverThatRefusesOrNeverAnswers() {
        QFETCH(int, answer);
        m_recorder->answer = static_cast<Recorder::Answer>(answer);
        QWidget window;
        QElapsedTimer clock;
        clock.start();
        DesktopSession desktop(&window, QStringLiteral("Brindlequill"));
        const qint64 made = clock.nsecsElapsed();
        QTRY_VERIFY(desktop.OnTheBus());
        ConversionSummary summary(3);
        summary.Converted();
        summary.Failed(m_books[1], QStringLiteral("the book is broken"));
        qint64 longest = 0;
        for (int run = 0; run < 2; ++run) {
            const auto timed = [&](auto&& call) {
                clock.restart();
                call();
                longest = std::max(longest, clock.nsecsElapsed());
            };
            timed([&] { desktop.RunStarted(); });
            for (int step = 0; step <= 100; step += 5) {
                timed([&] { desktop.RunProgress(step / 100.0, 3 - step / 50); });
            }
            timed([&] { desktop.RunEnded(&summary, false); });
            QVERIFY2(longest < 100'000'000, "the window's thread waited for the bus");
            QTRY_COMPARE(m_recorder->notices.size(), run + 1);
        }
        qInfo(
            "D-Bus on the window's thread: %.3f ms to start reaching the bus, at most %.3f ms "
            "per call",
            made / 1e6, longest / 1e6);
        QVERIFY2(made < 100'000'000, "the window's thread waited for the bus");
        QCOMPARE(m_recorder->notices[1].summary, QStringLiteral("Converted 1 of 3 books"));
        QCOMPARE(m_recorder->notices[1].replaces, 0u);  // the first was never given an id
        m_recorder->unanswered.clear();
    }
};

BQ_TEST_MAIN(DesktopSessionTest)
#include "tst_desktop_session.moc"
