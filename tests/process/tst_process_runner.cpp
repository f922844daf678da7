// Children of the program: real children give their exit codes and start errors, write to their
// log, get their environment and limits, are ended with everything they started, die with the
// program, and the window's message loop runs while the program waits for one.
#include "platform/MessageLoop.h"
#include "process/ChildProcess.h"
#include "process/ResidentMemoryLimit.h"

#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

using namespace bq;

namespace {

// A child spec that runs script with sh, its $0, $1... the arguments.
ChildSpec Sh(const QString& script, const QStringList& arguments = {}) {
    ChildSpec spec;
    spec.program = QStringLiteral("/bin/sh");
    spec.arguments = QStringList{QStringLiteral("-c"), script} + arguments;
    return spec;
}

// Starts spec and waits for it to end while the message loop turns, as the program waits for
// its children; gives its exit code, or kStartErrorBase plus the start error.
std::int32_t RunToEnd(const ChildSpec& spec) {
    int startError = 0;
    std::optional<ChildProcess> child = ChildProcess::Start(spec, startError);
    if (!child) {
        return kStartErrorBase + startError;
    }
    while (!child->HasEnded()) {
        PauseInMessageLoop(10);
    }
    return child->ExitCode();
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Still running: present and not a zombie.
bool IsRunning(pid_t pid) {
    const QByteArray stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

}  // namespace

class ProcessRunnerTest : public QObject {
    Q_OBJECT

  private slots:
    // The exit code is the child's status, or 128 + the signal that ended it; only the signal
    // tells the two apart.
    void childGivesItsExitCodeOrSignal_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("termSignal");
        const QString sh = QStringLiteral("/bin/sh");
        QTest::newRow("exit 0") << sh << QStringLiteral("exit 0") << 0 << 0;
        QTest::newRow("exit 7, program found on PATH")
            << QStringLiteral("sh") << QStringLiteral("exit 7") << 7 << 0;
        QTest::newRow("exit 137") << sh << QStringLiteral("exit 137") << 137 << 0;
        QTest::newRow("exit 200") << sh << QStringLiteral("exit 200") << 200 << 0;
        QTest::newRow("SIGTERM") << sh << QStringLiteral("kill -TERM $$") << 128 + SIGTERM
                                 << int(SIGTERM);
        QTest::newRow("SIGKILL") << sh << QStringLiteral("kill -9 $$") << 128 + SIGKILL
                                 << int(SIGKILL);
    }
    void childGivesItsExitCodeOrSignal() {
        QFETCH(QString, program);
        QFETCH(QString, script);
        QFETCH(int, exitCode);
        QFETCH(int, termSignal);
        const ChildSpec spec = Command(program, {QStringLiteral("-c"), script});
        QCOMPARE(RunToEnd(spec), exitCode);

        int startError = 0;
        std::optional<ChildProcess> child = ChildProcess::Start(spec, startError);
        QVERIFY(child.has_value());
        QTRY_VERIFY(child->HasEnded());
        const ChildProcess moved = std::move(*child);
        QCOMPARE(moved.ExitCode(), exitCode);
        QCOMPARE(moved.WasSignalled(), termSignal != 0);
        QCOMPARE(moved.TermSignal(), termSignal);
    }

    void startErrorsAreGiven_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("error");
        QTest::newRow("missing") << QStringLiteral("no such program") << QByteArray() << 0 << 53;
        QTest::newRow("missing, not a path")
            << QStringLiteral("bq-no-such-program") << QByteArray() << 0 << 53;
        QTest::newRow("not executable")
            << QStringLiteral("script") << QByteArray("#!/bin/sh\nexit 0\n") << 0644 << 70;
        QTest::newRow("a folder") << QStringLiteral("folder") << QByteArray() << -1 << 70;
        QTest::newRow("executable but not a program")
            << QStringLiteral("garbage") << QByteArray("\x7f\x01garbage", 9) << 0755 << 5;
        QTest::newRow("missing interpreter")
            << QStringLiteral("orphan script") << QByteArray("#!/no/such/shell\n") << 0755 << 53;
    }
    void startErrorsAreGiven() {
        QFETCH(QString, program);
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(int, error);
        QTemporaryDir folder;
        QString path =
            program.startsWith(QStringLiteral("bq-")) ? program : folder.filePath(program);
        if (mode == -1) {
            QVERIFY(QDir().mkdir(path));
        } else if (mode != 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();
            QVERIFY(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0);
        }
        QCOMPARE(RunToEnd(Command(path, {QStringLiteral("arg")})), kStartErrorBase + error);
        int startError = 0;
        QVERIFY(!ChildProcess::Start(Command(path), startError).has_value());
        QCOMPARE(startError, error);
    }

    void logReceivesOutputWithEmptyInputInTheFolderAndNicenessGiven() {
        QTemporaryDir folder;
        const QString log = folder.filePath(QStringLiteral("con\"vert \\ log\n.txt"));
        QFile before(log);
        QVERIFY(before.open(QIODevice::WriteOnly));
        before.write("earlier\n");
        before.close();
        const QString script = QStringLiteral(
            "echo out; echo err >&2; cat; pwd; sleep 0.3; nice; cut -d' ' -f5 /proc/$$/stat; echo "
            "$$");
        ChildSpec options = Sh(script);
        options.logFile = log;
        options.workingFolder = folder.path();
        options.niceness = 10;
        QCOMPARE(RunToEnd(options), 0);
        const QList<QByteArray> lines = ReadAll(log).split('\n');
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines.mid(0, 3), (QList<QByteArray>{"earlier", "out", "err"}));
        QCOMPARE(lines[3], QFile::encodeName(folder.path()));
        QCOMPARE(lines[4].toInt(), std::min(19, getpriority(PRIO_PROCESS, 0) + 10));
        QCOMPARE(lines[5], lines[6]);  // its own process group
    }

    void childReceivesANastyArgumentUnchanged() {
        QTemporaryDir folder;
        const QString log = folder.filePath(QStringLiteral("log"));
        const QString nasty = QStringLiteral(" \"Ünï\\cødé\" \n书\t\\");
        ChildSpec options = Sh(QStringLiteral("printf %s \"$0\""), {nasty});
        options.logFile = log;
        QCOMPARE(RunToEnd(options), 0);
        QCOMPARE(ReadAll(log), nasty.toUtf8());
    }

    void endGroupEndsTheChildAndWhatItStarted() {
        // The child and its grandchild ignore SIGTERM: the group must be killed.
        QTemporaryDir folder;
        const QString pidFile = folder.filePath(QStringLiteral("grandchild"));
        const QString script =
            QStringLiteral("trap '' TERM; sleep 60 & echo $! > \"$0\"; wait; wait");
        int startError = 0;
        std::optional<ChildProcess> child = ChildProcess::Start(Sh(script, {pidFile}), startError);
        QVERIFY(child.has_value());
        QTRY_VERIFY(ReadAll(pidFile).endsWith('\n'));
        const pid_t grandchild = ReadAll(pidFile).trimmed().toInt();
        QVERIFY(IsRunning(grandchild));
        QVERIFY(!child->HasEnded());
        child->EndGroup();
        QVERIFY(child->HasEnded());
        QCOMPARE(child->ExitCode(), 128 + SIGKILL);
        QTRY_VERIFY(!IsRunning(grandchild));
    }

    void destroyingOrEndingAllEndsRunningChildren() {
        QTemporaryDir folder;
        const QString pidFile = folder.filePath(QStringLiteral("grandchild"));
        const QString script = QStringLiteral("sleep 60 & echo $! > \"$0\"; wait");
        pid_t childPid = 0;
        {
            int startError = 0;
            std::optional<ChildProcess> child =
                ChildProcess::Start(Sh(script, {pidFile}), startError);
            QVERIFY(child.has_value());
            childPid = child->pid();
            QTRY_VERIFY(ReadAll(pidFile).endsWith('\n'));
        }
        QVERIFY(!IsRunning(childPid));
        QTRY_VERIFY(!IsRunning(ReadAll(pidFile).trimmed().toInt()));

        // Ended together: one that ends when asked, one that must be killed.
        int startError = 0;
        std::optional<ChildProcess> first = ChildProcess::Start(
            Command(QStringLiteral("sleep"), {QStringLiteral("60")}), startError);
        std::optional<ChildProcess> second =
            ChildProcess::Start(Sh(QStringLiteral("trap '' TERM; sleep 61; sleep 62")), startError);
        QVERIFY(first && second);
        QTest::qWait(200);  // the shell has set its trap
        std::optional<ChildProcess> moved = std::move(second);
        ChildProcess::EndTogether({&*first, &*moved});
        QVERIFY(first->HasEnded() && moved->HasEnded());
        QCOMPARE(first->ExitCode(), 128 + SIGTERM);
        QVERIFY(first->WasSignalled());
        QCOMPARE(moved->TermSignal(), SIGKILL);
    }

    void whatAChildLeavesRunningEndsWithIt() {
        QTemporaryDir folder;
        const QString pidFile = folder.filePath(QStringLiteral("grandchild"));
        const QString script = QStringLiteral("sleep 60 & echo $! > \"$0\"");
        QCOMPARE(RunToEnd(Sh(script, {pidFile})), 0);
        QTRY_VERIFY(!IsRunning(ReadAll(pidFile).trimmed().toInt()));
    }

    // What a child gets: its own environment changes (the program's own environment stays as
    // it is), its memory limit (on resident memory in a scope of its own where the system gives
    // one, else on its address space), and no descriptor of the program but its standard
    // streams.
    void childGetsItsEnvironmentLimitAndNoStrayDescriptors() {
        qputenv("BQ_TEST_KEPT", "program");
        qputenv("BQ_TEST_REMOVED", "program");
        QTemporaryDir folder;
        ChildSpec spec = Sh(QStringLiteral(
            "echo \"$BQ_TEST_ADDED|$BQ_TEST_KEPT|${BQ_TEST_REMOVED-unset}\"; ulimit -v; "
            "cat \"$(awk '$3 == \"cgroup2\" { print $2; exit }' /proc/self/mounts)$(sed -n "
            "'s/^0:://p' /proc/self/cgroup)/memory.max\" 2>/dev/null || echo none; "
            "ls /proc/self/fd | tr '\\n' ' '"));
        spec.logFile = folder.filePath(QStringLiteral("log"));
        spec.environment = {{"BQ_TEST_ADDED", QByteArray("child")}, {"BQ_TEST_REMOVED", {}}};
        spec.memoryLimit = std::uint64_t{768} << 20;
        spec.residentWherePossible = true;
        int startError = 0;
        std::optional<ChildProcess> child = ChildProcess::Start(spec, startError);
        QVERIFY(child.has_value());
        QTRY_VERIFY(child->HasEnded());
        const QList<QByteArray> lines = ReadAll(spec.logFile).split('\n');
        QCOMPARE(lines.value(0), QByteArray("child|program|unset"));
        if (ResidentMemoryLimit::Available()) {
            QCOMPARE(lines.value(1), QByteArray("unlimited"));
            QCOMPARE(lines.value(2), QByteArray::number(std::uint64_t{768} << 20));
        } else {
            QCOMPARE(lines.value(1), QByteArray::number(768 * 1024));
            QVERIFY(!ResidentMemoryLimit::Unavailable().isEmpty());
        }
        // ls's own descriptor for the listing is the only one past 2.
        QCOMPARE(lines.value(3).trimmed().split(' ').size(), 4);
        QCOMPARE(qgetenv("BQ_TEST_REMOVED"), QByteArray("program"));
        QVERIFY(!qEnvironmentVariableIsSet("BQ_TEST_ADDED"));
    }

    // However the program ends, its children end with it: a program (the spawner) that starts
    // a child, a child in a session of its own and one that ignores SIGTERM, and is then
    // killed, leaves none of them running.
    void childrenDieWithTheProgram() {
        QProcess spawner;
        spawner.start(QStringLiteral(BQ_SPAWNER), {});
        QVERIFY(spawner.waitForStarted());
        QVERIFY(spawner.waitForReadyRead(10000));
        QTRY_VERIFY(spawner.canReadLine());
        QList<pid_t> children;
        for (const QByteArray& pid : spawner.readLine().trimmed().split(' ')) {
            children << pid.toInt();
        }
        QCOMPARE(children.size(), 2);
        for (const pid_t pid : children) {
            QVERIFY(IsRunning(pid));
        }
        ::kill(static_cast<pid_t>(spawner.processId()), SIGKILL);
        QVERIFY(spawner.waitForFinished());
        for (const pid_t pid : children) {
            QTRY_VERIFY_WITH_TIMEOUT(!IsRunning(pid), 5000);
        }
    }

    // A timer fires during the wait, many times over one second: also once the application has
    // been asked to quit (its last window closed while a run ends), where a nested event loop
    // would return at once and leave the window frozen. Last: the quit request stays.
    void messageLoopRunsWhileWaiting_data() {
        QTest::addColumn<bool>("quitting");
        QTest::newRow("running") << false;
        QTest::newRow("asked to quit") << true;
    }
    void messageLoopRunsWhileWaiting() {
        QFETCH(bool, quitting);
        if (quitting) {
            QCoreApplication::exit(0);
        }
        bool waiting = false;
        int firedInsideTheWait = 0;
        QTimer timer;
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [&] { firedInsideTheWait += waiting ? 1 : 0; });
        timer.start();
        waiting = true;
        QCOMPARE(RunToEnd(Command(QStringLiteral("sleep"), {QStringLiteral("1")})), 0);
        waiting = false;
        QVERIFY2(firedInsideTheWait >= 20, qPrintable(QString::number(firedInsideTheWait)));
    }
};

BQ_TEST_MAIN(ProcessRunnerTest)
#include "tst_process_runner.moc"
