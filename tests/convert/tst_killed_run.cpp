// The program killed mid-run (SIGKILL while provisioning, while the warm converter imports,
// with converters busy) leaves no process of its run behind; what it leaves on disk (its run
// folder, temporaries in the output folder) the next run removes. SIGTERM stops the run as
// closing the window does: the books made are kept, nothing is left.
#include "convert/ConverterRuntime.h"
#include "convert/RunFolder.h"
#include "fs/OutputTemporary.h"
#include "support/FileContent.h"
#include "support/TestMain.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace bq;

namespace {

// The command lines of the live processes whose environment holds TEMP=temp: the program's
// children and everything they started inherit it.
QStringList RunProcesses(const QString& temp) {
    const QByteArray marker = "TEMP=" + QFile::encodeName(temp);
    QStringList found;
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString dir = it.next();
        const QByteArray stat = Content(dir + QStringLiteral("/stat"));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || stat.mid(close + 2, 1) == "Z") {
            continue;
        }
        if (Content(dir + QStringLiteral("/environ")).split('\0').contains(marker)) {
            found << QString::fromLocal8Bit(
                Content(dir + QStringLiteral("/cmdline")).replace('\0', ' '));
        }
    }
    return found;
}

int ProcessesRunning(const QString& temp, const char* program) {
    int count = 0;
    for (const QString& command : RunProcesses(temp)) {
        count += command.contains(QLatin1String(program)) ? 1 : 0;
    }
    return count;
}

}  // namespace

class KilledRunTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work;
    QStringList m_books;

    // Starts the program converting m_books with `jobs` converters, its TEMP and output folder
    // fresh folders of its own.
    void Start(QProcess& program, const QString& temp, const QString& out, int jobs) {
        QVERIFY(QDir().mkpath(temp) && QDir().mkpath(out));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TEMP"), temp);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           m_work.filePath(QStringLiteral("config")));
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(BQ_WINDOW_RUN),
                      QStringList{QString::number(jobs), out} + m_books);
        QVERIFY(program.waitForStarted());
    }

    // Waits (at most two minutes) until `reached` holds while the program still runs.
    static bool WaitFor(QProcess& program, const std::function<bool()>& reached) {
        for (int i = 0; i < 24000; ++i) {
            if (program.state() != QProcess::Running) {
                return false;
            }
            if (reached()) {
                return true;
            }
            QTest::qWait(5);
        }
        return false;
    }

  private slots:
    void initTestCase() {
        QVERIFY(m_work.isValid());
        QProcess make;
        make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        make.start(
            QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(BQ_MAKE_BOOKS), m_work.path(), QStringLiteral("epub3-pictures")});
        QVERIFY(make.waitForFinished(120000));
        QCOMPARE(make.exitCode(), 0);
        for (int i = 1; i <= 6; ++i) {
            const QString copy = m_work.filePath(QStringLiteral("book%1.epub").arg(i));
            QVERIFY(QFile::copy(m_work.filePath(QStringLiteral("epub3-pictures.epub")), copy));
            m_books << copy;
        }
    }

    void killedAtEachPhase_data() {
        QTest::addColumn<QString>("phase");
        QTest::newRow("while provisioning") << "provisioning";
        QTest::newRow("while the warm converter imports") << "warm";
        QTest::newRow("with converters busy") << "busy";
    }
    void killedAtEachPhase() {
        QFETCH(QString, phase);
        const QString temp = m_work.filePath(QStringLiteral("temp-") + QTest::currentDataTag());
        const QString out = m_work.filePath(QStringLiteral("out-") + QTest::currentDataTag());
        QProcess program;
        Start(program, temp, out, 3);
        const auto runFolder = [&temp] {
            const QStringList folders =
                QDir(temp).entryList({QStringLiteral("calibre-*")}, QDir::Dirs | QDir::Hidden);
            return folders.isEmpty() ? QString() : temp + QLatin1Char('/') + folders.first();
        };
        const bool reached = WaitFor(program, [&] {
            const QString folder = runFolder();
            if (phase == QLatin1String("provisioning")) {
                // Once marked: a folder killed before its marker is written cannot be told from
                // someone else's, and stays (empty).
                return !folder.isEmpty() &&
                       QFile::exists(folder + QLatin1Char('/') + RunFolder::RunMarkerName()) &&
                       !QFile::exists(folder + QStringLiteral("/calibre/ebook-convert"));
            }
            if (phase == QLatin1String("warm")) {
                return ProcessesRunning(temp, "warm-converter") > 0 &&
                       !QFile::exists(folder + QStringLiteral("/calibre/warm.sock"));
            }
            return ProcessesRunning(temp, "/ebook-convert") >= 2;
        });
        QVERIFY2(reached, "the run never reached the phase");
        ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
        QVERIFY(program.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(RunProcesses(temp).isEmpty(), 5000);

        // What it left on disk, the next run removes; the books it made are whole.
        QVERIFY(RunFolder::RemoveEndedRunFolders(temp) <= 1);
        QCOMPARE(Entries(temp), QStringList());
        OutputTemporary::RemoveAbandoned(out);
        for (const QString& name : Entries(out)) {
            QVERIFY2(name.endsWith(QStringLiteral(".mobi")) && !name.startsWith(QLatin1Char('.')),
                     qPrintable(name));
        }
    }

    // SIGTERM (a logout, kill) stops the run as closing the window does.
    void terminatedStopsAsClosing() {
        const QString temp = m_work.filePath(QStringLiteral("temp-term"));
        const QString out = m_work.filePath(QStringLiteral("out-term"));
        QProcess program;
        Start(program, temp, out, 2);
        QVERIFY(WaitFor(program, [&] {
            return !Entries(out).filter(QRegularExpression(QStringLiteral("^book"))).isEmpty() &&
                   ProcessesRunning(temp, "/ebook-convert") >= 1;
        }));
        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(RunProcesses(temp), QStringList());
        QCOMPARE(Entries(temp), QStringList());
        const QStringList made = Entries(out);
        QVERIFY(!made.isEmpty() && made.size() < m_books.size());
        for (const QString& name : made) {
            QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
        }
    }
};

BQ_TEST_MAIN(KilledRunTest)
#include "tst_killed_run.moc"
