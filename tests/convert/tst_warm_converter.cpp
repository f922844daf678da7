// The warm converter started from an unpacked runtime: launchers hand their conversions to it,
// and stopping it (also when it was killed, or with a conversion hanging in it) leaves no
// process and no socket behind.
#include "convert/ConverterRuntime.h"
#include "convert/WarmConverter.h"
#include "support/BuiltHelpers.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/types.h>
#include <csignal>
#include <cstdio>

using namespace bq;

namespace {

bool Alive(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) != "Z";
}

// Processes whose session is `session`.
int SessionSize(pid_t session) {
    int count = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        entry.toInt(&number);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!number || !stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 3 && fields[0] != "Z" && fields[3].toLong() == session) {
            ++count;
        }
    }
    return count;
}

}  // namespace

class WarmConverterTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_runtime;
    QString m_book;
    QString m_log;

    int RunLauncher(const QString& output) {
        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(m_runtime + QStringLiteral("/ebook-convert"), {m_book, output});
        if (!launcher.waitForFinished(300000)) {
            launcher.kill();
            launcher.waitForFinished();
            return -1;
        }
        return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -2;
    }

    QStringList Conversions() {
        QFile log(m_log);
        if (!log.open(QIODevice::ReadOnly)) {
            return {};
        }
        QStringList found;
        const QString text = QString::fromUtf8(log.readAll());
        auto it = QRegularExpression(QStringLiteral("converting in (\\d+)")).globalMatch(text);
        while (it.hasNext()) {
            found << it.next().captured(1);
        }
        return found;
    }

  private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_runtime = m_dir.filePath(QStringLiteral("run time/calibre"));
        QVERIFY(QDir().mkpath(m_runtime));
        QCOMPARE(QProcess::execute(QStringLiteral("unzip"),
                                   {QStringLiteral("-q"), QStringLiteral(BQ_RUNTIME_ZIP),
                                    QStringLiteral("-d"), m_runtime}),
                 0);
        const QString books = m_dir.filePath(QStringLiteral("books"));
        QCOMPARE(QProcess::execute(
                     QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(BQ_MAKE_BOOKS), books, QStringLiteral("plain-epub2")}),
                 0);
        m_book = books + QStringLiteral("/plain-epub2.epub");
        m_log = m_dir.filePath(QStringLiteral("warm.log"));
    }

    void launchersHandOverAndStopLeavesNothing() {
        WarmConverter warm;
        QVERIFY(!warm.IsRunning());
        QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
        QVERIFY(warm.IsRunning());
        const pid_t pid = warm.pid();
        QCOMPARE(warm.SocketPath(), m_runtime + QStringLiteral("/warm.sock"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(warm.SocketPath()), 180000);
        QCOMPARE(QFile::permissions(warm.SocketPath()) &
                     (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());

        const QString output = m_dir.filePath(QStringLiteral("first.mobi"));
        QCOMPARE(RunLauncher(output), 0);
        QVERIFY(QFile::exists(output));
        QCOMPARE(Conversions().size(), 1);

        // A conversion that hangs in it is ended with it.
        QProcess hanging;
        hanging.start(m_runtime + QStringLiteral("/ebook-convert"),
                      {m_book, m_dir.filePath(QStringLiteral("hanging.mobi"))});
        QTRY_VERIFY_WITH_TIMEOUT(Conversions().size() == 2, 60000);
        const pid_t child = Conversions().at(1).toInt();
        QVERIFY(kill(child, SIGSTOP) == 0);
        QVERIFY(SessionSize(pid) >= 3);  // the warm converter, a supervisor, the conversion

        warm.Stop();
        QVERIFY(!warm.IsRunning());
        QVERIFY(!Alive(pid));
        QVERIFY(!Alive(child));
        QCOMPARE(SessionSize(pid), 0);
        QVERIFY(!QFile::exists(m_runtime + QStringLiteral("/warm.sock")));
        // Its launcher converts again, cold.
        QVERIFY(hanging.waitForFinished(300000));
        QCOMPARE(hanging.exitCode(), 0);
        warm.Stop();  // a second stop does nothing
    }

    // A book converted in the warm converter's child is held to the memory limit of its
    // launcher: a decompression bomb (2 GiB of text in a few MB) fails alone within it.
    void warmConversionKeepsItsLaunchersMemoryLimit() {
        const QString books = m_dir.filePath(QStringLiteral("books"));
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                   {QStringLiteral(BQ_MAKE_BOOKS), books, QStringLiteral("bomb")}),
                 0);
        WarmConverter warm;
        QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(warm.SocketPath()), 180000);
        const qsizetype before = Conversions().size();
        constexpr qint64 kLimit = qint64{1} << 30;
        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(
            QStringLiteral("prlimit"),
            {QStringLiteral("--as=%1").arg(kLimit), QStringLiteral("--"),
             m_runtime + QStringLiteral("/ebook-convert"), books + QStringLiteral("/bomb.epub"),
             m_dir.filePath(QStringLiteral("bomb.mobi"))});
        QTRY_VERIFY_WITH_TIMEOUT(Conversions().size() == before + 1, 60000);
        const QString limitsFile = QStringLiteral("/proc/%1/limits").arg(Conversions().last());
        const QRegularExpression limited(
            QStringLiteral("Max address space\\s+%1\\s+%1").arg(kLimit));
        const auto limits = [&limitsFile] {
            QFile file(limitsFile);
            return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(limited.match(limits()).hasMatch(), qPrintable(limits()), 20000);
        QVERIFY(launcher.waitForFinished(600000));
        QVERIFY(launcher.exitCode() != 0);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("bomb.mobi"))) ||
                QFileInfo(m_dir.filePath(QStringLiteral("bomb.mobi"))).size() == 0);
        warm.Stop();
    }

    void killedWarmConverterIsCleanedUp() {
        WarmConverter warm;
        QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(warm.SocketPath()), 180000);
        const pid_t pid = warm.pid();
        QVERIFY(kill(pid, SIGKILL) == 0);
        QTest::qWait(200);
        QVERIFY(QFile::exists(m_runtime + QStringLiteral("/warm.sock")));  // stale
        warm.Stop();
        QVERIFY(!Alive(pid));
        QVERIFY(!QFile::exists(m_runtime + QStringLiteral("/warm.sock")));
    }

    void stopAndDestructorEndIt() {
        pid_t first = -1;
        {
            WarmConverter warm;
            QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
            first = warm.pid();
            QVERIFY(Alive(first));
        }
        QVERIFY(!Alive(first));

        WarmConverter warm;
        QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
        const pid_t second = warm.pid();
        // Starting again replaces the one this object runs.
        QVERIFY(warm.Start(m_runtime, {}, 0, m_log));
        QVERIFY(!Alive(second));
        const pid_t third = warm.pid();
        warm.Stop();
        QVERIFY(!warm.IsRunning());
        QVERIFY(!Alive(third));
        QCOMPARE(SessionSize(third), 0);
    }

    // The run's runtime starts its warm converter once unpacked and ends it before it goes; a
    // runtime that was never unpacked (a failed provisioning) starts none.
    void runtimeStartsAndEndsItsWarmConverter() {
        QFile archive(QStringLiteral(BQ_RUNTIME_ZIP));
        QVERIFY(archive.open(QIODevice::ReadOnly));
        UseBuiltHelpers();
        ConverterRuntime runtime;
        runtime.Prepare();
        runtime.StartWarmConverter(0);
        QVERIFY(!runtime.Warm().IsRunning());
        runtime.PlaceArchive(archive.readAll());
        runtime.Unpack();
        runtime.RemoveArchive();
        runtime.StartWarmConverter(0);
        QVERIFY(runtime.Warm().IsRunning());
        const pid_t pid = runtime.Warm().pid();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.Warm().SocketPath()), 180000);

        // A launcher with the environment the run gives its converters hands over to it.
        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const EnvironmentChange& change : runtime.ConverterEnvironment()) {
            environment.insert(QString::fromLocal8Bit(change.name),
                               QString::fromLocal8Bit(change.value.value_or(QByteArray())));
        }
        launcher.setProcessEnvironment(environment);
        launcher.start(runtime.ConverterPath(),
                       {m_book, m_dir.filePath(QStringLiteral("from the run's runtime.mobi"))});
        QVERIFY(launcher.waitForFinished(300000));
        QCOMPARE(launcher.exitCode(), 0);
        QFile log(runtime.RunFolder() + QStringLiteral("/warm-converter.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("converting in"));

        const QString folder = runtime.RunFolder();
        runtime.Remove();
        QVERIFY(!Alive(pid));
        QCOMPARE(SessionSize(pid), 0);
        QVERIFY(!QFile::exists(folder));
    }

    void runtimeWithoutWarmConverterStartsNothing() {
        const QString folder = m_dir.filePath(QStringLiteral("old runtime"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(m_runtime + QStringLiteral("/ebook-convert"),
                            folder + QStringLiteral("/ebook-convert")));
        WarmConverter warm;
        QVERIFY(!warm.Start(folder, {}, 0, m_log));
        QVERIFY(!warm.IsRunning());
        QVERIFY(!warm.Start(m_dir.filePath(QStringLiteral("missing")), {}, 0, m_log));
        // A log that cannot be written is no reason to start without one.
        QVERIFY(!warm.Start(m_runtime, {}, 0, m_dir.filePath(QStringLiteral("missing/warm.log"))));
        QVERIFY(!warm.IsRunning());
    }
};

BQ_TEST_MAIN(WarmConverterTest)
#include "tst_warm_converter.moc"
