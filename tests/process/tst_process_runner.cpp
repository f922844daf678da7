// The process runner: any path survives quoting and splitting; the bar creeps and counts as the
// program shows it, tick by tick, without waiting real seconds; real children give their exit
// codes and start errors, write to their log, are ended with everything they started, and the
// window's message loop runs while the runner waits.
#include "process/CommandLine.h"
#include "process/ProcessRunner.h"
#include "process/ResidentMemoryLimit.h"
#include "process/WaitProgress.h"

#include "support/RunTimeErrorOf.h"
#include "support/TestMain.h"

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

// A bar that records every change made to it.
class RecordingBar : public ProgressDisplay {
  public:
    QString Text() const override { return m_text; }
    void SetText(const QString& text) override {
        m_text = text;
        texts.append(text);
    }
    double Value() const override { return m_value; }
    void SetValue(double value) override {
        m_value = value;
        values.append(value);
    }
    QStringList texts;
    QList<double> values;

  private:
    QString m_text = QStringLiteral("before");
    double m_value = 0;
};

QString Quoted(const QStringList& arguments) {
    QStringList quoted;
    for (const QString& argument : arguments) {
        quoted.append(QuoteArgument(argument));
    }
    return quoted.join(u' ');
}

// A child spec that runs script with sh, its $0, $1... the arguments.
ChildSpec Sh(const QString& script, const QStringList& arguments = {}) {
    ChildSpec spec;
    spec.program = QStringLiteral("/bin/sh");
    spec.arguments = QStringList{QStringLiteral("-c"), script} + arguments;
    return spec;
}

QString Shell(const QString& script) {
    return Quoted({QStringLiteral("/bin/sh"), QStringLiteral("-c"), script});
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
    void anyPathSurvivesQuotingAndSplitting_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << QStringLiteral("/home/ann/book.epub");
        QTest::newRow("spaces, leading and trailing") << QStringLiteral("  my books/a  b.epub ");
        QTest::newRow("quotes") << QStringLiteral("/b/\"quoted\" \"");
        QTest::newRow("backslashes, one before a quote, one at the end")
            << QStringLiteral("C:\\x\\\"y\\\\z\\");
        QTest::newRow("new line, tab, carriage return") << QStringLiteral("a\nb\tc\rd.epub");
        QTest::newRow("non-ASCII") << QStringLiteral("/tmp/Ünïcødé 书 ✓.epub");
        QTest::newRow("empty") << QString();
    }
    void anyPathSurvivesQuotingAndSplitting() {
        QFETCH(QString, path);
        const QStringList arguments{QStringLiteral("/tmp/calibre/ebook-convert"), path,
                                    path + QStringLiteral(".mobi")};
        QCOMPARE(SplitCommandLine(Quoted(arguments)), arguments);
    }

    void commandLinesSplitAsWritten_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("blanks separate") << QStringLiteral("  a \t b  ") << QStringList{"a", "b"};
        QTest::newRow("quotes group") << QStringLiteral("\"a b\" c") << QStringList{"a b", "c"};
        QTest::newRow("escapes inside quotes")
            << QStringLiteral("\"a\\\"b\\\\c\\d\"") << QStringList{"a\"b\\c\\d"};
        QTest::newRow("backslash outside quotes is a character")
            << QStringLiteral("a\\b\\\"c d\"") << QStringList{"a\\b\\c d"};
        QTest::newRow("parts join") << QStringLiteral("a\"b c\"d") << QStringList{"ab cd"};
        QTest::newRow("empty argument") << QStringLiteral("x \"\"") << QStringList{"x", ""};
        QTest::newRow("nothing") << QStringLiteral("   ") << QStringList{};
        QTest::newRow("open quote runs to the end")
            << QStringLiteral("\"a b") << QStringList{"a b"};
    }
    void commandLinesSplitAsWritten() {
        QFETCH(QString, commandLine);
        QFETCH(QStringList, arguments);
        QCOMPARE(SplitCommandLine(commandLine), arguments);
    }

    void windowStylesAreNormalised() {
        QCOMPARE(NormalisedWindowStyle(std::nullopt), 6);
        QCOMPARE(NormalisedWindowStyle(-1), 6);
        QCOMPARE(NormalisedWindowStyle(7), 6);
        QCOMPARE(NormalisedWindowStyle(0), 0);
        QCOMPARE(NormalisedWindowStyle(5), 5);
    }

    void barTextCountsFromTheFifthSecond() {
        QCOMPARE(BarTextAt(QString(), 50), QStringLiteral("Please wait.. 0"));
        QCOMPARE(BarTextAt(QStringLiteral("Processing: a b.epub"), 51),
                 QStringLiteral("Processing: a b.epub, Please wait.. 1"));
        QCOMPARE(BarTextAt(QStringLiteral("x"), 1234), QStringLiteral("x, Please wait.. 1184"));
    }

    // Values at ticks 50, 200, 350, ... for one item's share of the batch.
    void barValueCreepsTowardsTheItemsShare_data() {
        QTest::addColumn<int>("itemCount");
        QTest::addColumn<int>("startValue");
        QTest::addColumn<QList<double>>("values");
        QTest::newRow("1 item: step 10, cap 90")
            << 1 << 0 << QList<double>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 90, 90};
        QTest::newRow("3 items: step 3, cap 30")
            << 3 << 0 << QList<double>{0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 30};
        QTest::newRow("4 items: step 2 (2.5 to even), cap 23")
            << 4 << 0 << QList<double>{0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 23, 23};
        QTest::newRow("15 items: step 1, cap 6")
            << 15 << 0 << QList<double>{0, 1, 2, 3, 4, 5, 6, 6};
        QTest::newRow("20 items: step 0") << 20 << 0 << QList<double>{0, 0, 0};
        QTest::newRow("3 items from 33")
            << 3 << 33 << QList<double>{33, 36, 39, 42, 45, 48, 51, 54, 57, 60, 63, 63};
    }
    void barValueCreepsTowardsTheItemsShare() {
        QFETCH(int, itemCount);
        QFETCH(int, startValue);
        QFETCH(QList<double>, values);
        for (qsizetype k = 0; k < values.size(); ++k) {
            const std::int64_t ticks = 50 + 150 * k;
            QCOMPARE(BarValueAt(ticks, startValue, itemCount), std::optional<double>(values[k]));
            QCOMPARE(BarValueAt(ticks + 1, startValue, itemCount), std::nullopt);
            QCOMPARE(BarValueAt(ticks - 1, startValue, itemCount), std::nullopt);
        }
    }

    // The poll loop over a child that ends after a given number of passes.
    void pollLoopAnimatesTheBarTickByTick_data() {
        QTest::addColumn<int>("runningPasses");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<double>>("values");
        QTest::newRow("ends at once") << 0 << QStringLiteral("Processing: a.epub")
                                      << QStringList{"Processing: a.epub"} << QList<double>{};
        QTest::newRow("seen running once more: two passes, empty caption")
            << 1 << QString() << QStringList{"Progress Bar"} << QList<double>{};
        QTest::newRow("50 ticks") << 49 << QString()
                                  << QStringList{"Please wait.. 0", "Progress Bar"}
                                  << QList<double>{33};
        QTest::newRow("51 ticks") << 50 << QStringLiteral("c")
                                  << QStringList{"c, Please wait.. 0", "c, Please wait.. 1", "c"}
                                  << QList<double>{33};
    }
    void pollLoopAnimatesTheBarTickByTick() {
        QFETCH(int, runningPasses);
        QFETCH(QString, caption);
        QFETCH(QStringList, texts);
        QFETCH(QList<double>, values);
        int asked = 0;
        QList<int> pauses;
        RecordingBar bar;
        PollUntilEnded([&] { return asked++ >= runningPasses; }, [&](int ms) { pauses.append(ms); },
                       &bar, caption, 33, 3);
        QCOMPARE(asked, runningPasses + 1);
        QCOMPARE(pauses, QList<int>(runningPasses + 1, kPollIntervalMs));
        QCOMPARE(bar.texts, texts);
        QCOMPARE(bar.values, values);
    }

    void longWaitMovesTheValueEvery150Ticks() {
        int asked = 0;
        RecordingBar bar;
        PollUntilEnded([&] { return asked++ >= 499; }, [](int) {}, &bar, QString(), 0, 4);
        QCOMPARE(bar.values, (QList<double>{0, 2, 4, 6}));  // ticks 50, 200, 350, 500
        QCOMPARE(bar.texts.size(), 500 - 50 + 1 + 1);
        QCOMPARE(bar.texts.at(bar.texts.size() - 2), QStringLiteral("Please wait.. 450"));
    }

    void withoutABarThePollStillPauses() {
        int asked = 0;
        int pauses = 0;
        PollUntilEnded([&] { return asked++ >= 60; }, [&](int) { ++pauses; }, nullptr, QString(), 0,
                       0);
        QCOMPARE(pauses, 61);
    }

    void noItemsWithABarRaisesAfterTheFirstCountedText() {
        int asked = 0;
        RecordingBar bar;
        const int error = RunTimeErrorOf([&] {
            PollUntilEnded([&] { return asked++ >= 100; }, [](int) {}, &bar, QString(), 0, 0);
        });
        QCOMPARE(error, int(ErrDivisionByZero));
        QCOMPARE(asked, 50);
        QCOMPARE(bar.texts.last(), QStringLiteral("Please wait.. 0"));
    }

    // The exit code is the child's status, or 128 + the signal that ended it; only the signal
    // tells the two apart.
    void childGivesItsExitCodeOrSignal_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("termSignal");
        QTest::newRow("exit 0") << Shell(QStringLiteral("exit 0")) << 0 << 0;
        QTest::newRow("exit 7, program found on PATH")
            << Quoted({QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exit 7")}) << 7
            << 0;
        QTest::newRow("exit 137") << Shell(QStringLiteral("exit 137")) << 137 << 0;
        QTest::newRow("exit 200") << Shell(QStringLiteral("exit 200")) << 200 << 0;
        QTest::newRow("SIGTERM") << Shell(QStringLiteral("kill -TERM $$")) << 128 + SIGTERM
                                 << int(SIGTERM);
        QTest::newRow("SIGKILL") << Shell(QStringLiteral("kill -9 $$")) << 128 + SIGKILL
                                 << int(SIGKILL);
    }
    void childGivesItsExitCodeOrSignal() {
        QFETCH(QString, commandLine);
        QFETCH(int, exitCode);
        QFETCH(int, termSignal);
        RecordingBar bar;
        QCOMPARE(RunAndWait(commandLine, 0, &bar, QStringLiteral("Processing: x"), 0, 1), exitCode);
        QCOMPARE(bar.texts, QStringList{"Processing: x"});

        int startError = 0;
        QStringList arguments = SplitCommandLine(commandLine);
        const QString program = arguments.takeFirst();
        std::optional<ChildProcess> child =
            ChildProcess::Start(Command(program, arguments), startError);
        QVERIFY(child.has_value());
        QTRY_VERIFY(child->HasEnded());
        const ChildProcess moved = std::move(*child);
        QCOMPARE(moved.ExitCode(), exitCode);
        QCOMPARE(moved.WasSignalled(), termSignal != 0);
        QCOMPARE(moved.TermSignal(), termSignal);
    }

    void startErrorsAreGivenWithoutTouchingTheBar_data() {
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
    void startErrorsAreGivenWithoutTouchingTheBar() {
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
        RecordingBar bar;
        QCOMPARE(
            RunAndWait(Quoted({path, QStringLiteral("arg")}), 0, &bar, QStringLiteral("c"), 5, 1),
            kStartErrorBase + error);
        QVERIFY(bar.texts.isEmpty());
        QVERIFY(bar.values.isEmpty());
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
        ChildSpec options;
        options.logFile = log;
        options.workingFolder = folder.path();
        options.niceness = 10;
        const QString script = QStringLiteral(
            "echo out; echo err >&2; cat; pwd; sleep 0.3; nice; cut -d' ' -f5 /proc/$$/stat; echo "
            "$$");
        QCOMPARE(RunAndWait(Shell(script), 0, nullptr, QString(), 0, 1, options), 0);
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
        const QString command = Quoted({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                        QStringLiteral("printf %s \"$0\""), nasty});
        ChildSpec options;
        options.logFile = log;
        QCOMPARE(RunAndWait(command, 0, nullptr, QString(), 0, 1, options), 0);
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
        QCOMPARE(
            RunAndWait(Quoted({QStringLiteral("/bin/sh"), QStringLiteral("-c"), script, pidFile}),
                       0, nullptr, QString(), 0, 1),
            0);
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

    void messageLoopRunsWhileWaiting() {
        // A timer fires inside the wait's own event loop, many times over one second.
        int firedInsideTheWait = 0;
        QTimer timer;
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [&firedInsideTheWait] {
            if (QThread::currentThread()->loopLevel() > 0) {
                ++firedInsideTheWait;
            }
        });
        timer.start();
        QCOMPARE(RunAndWait(QStringLiteral("sleep 1"), std::nullopt, nullptr, QString(), 0, 1), 0);
        QVERIFY2(firedInsideTheWait >= 5, qPrintable(QString::number(firedInsideTheWait)));
    }
};

BQ_TEST_MAIN(ProcessRunnerTest)
#include "tst_process_runner.moc"
