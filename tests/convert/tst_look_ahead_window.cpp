// Look-ahead conversion through the real window (offscreen) with the real converter runtime:
// a mixed batch gives the same outputs, last box and display with one converter and with three;
// the process table never shows more converters than allowed; a thousand entries do not make
// the program hold more; an output folder that vanishes mid-run and a window closed mid-run
// leave nothing behind and lose nothing the user had.
#include "BookChecks.h"
#include "app/Form1.h"
#include "app/MousePointer.h"
#include "app/ProgressBarDisplay.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedWindow.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <dirent.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>

using namespace bq;

namespace {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    char state = '?';
};

// Every process of the machine, from /proc.
std::vector<ProcessEntry> ProcessTable() {
    std::vector<ProcessEntry> table;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return table;
    }
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* file = std::fopen(path, "r");
        if (file == nullptr) {
            continue;
        }
        char line[1024] = {};
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        std::fclose(file);
        const char* afterName = read ? std::strrchr(line, ')') : nullptr;
        ProcessEntry process;
        int parent = 0;
        int group = 0;
        if (afterName != nullptr &&
            std::sscanf(afterName + 1, " %c %d %d", &process.state, &parent, &group) == 3) {
            process.pid = static_cast<pid_t>(pid);
            process.parent = parent;
            process.group = group;
            table.push_back(process);
        }
    }
    closedir(proc);
    return table;
}

// Whether a process runs the runtime's `ebook-convert` launcher (the run's warm converter, also
// a child of the program, is not a converter).
bool RunsConverter(pid_t pid) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QList<QByteArray> arguments = cmdline.readAll().split('\0');
    for (const QByteArray& argument : arguments) {
        if (argument.endsWith("/ebook-convert")) {
            return true;
        }
    }
    return false;
}

// The warm converters, their supervisors and their conversions that run from this test's TEMP.
int WarmConvertersLeft() {
    const QByteArray temp = QFile::encodeName(qEnvironmentVariable("TEMP")) + '/';
    int left = 0;
    for (const ProcessEntry& process : ProcessTable()) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(process.pid));
        if (process.state == 'Z' || !cmdline.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& argument : cmdline.readAll().split('\0')) {
            left += argument.startsWith(temp) && argument.endsWith("/warm-converter") ? 1 : 0;
        }
    }
    return left;
}

// The book a converter converts: its argument that names an EPUB.
QString SourceOf(pid_t pid) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly)) {
        return {};
    }
    for (const QByteArray& argument : cmdline.readAll().split('\0')) {
        if (argument.endsWith(".epub")) {
            return QFile::decodeName(argument);
        }
    }
    return {};
}

// This program's children that still run the converter.
std::set<pid_t> RunningChildren() {
    std::set<pid_t> children;
    for (const ProcessEntry& process : ProcessTable()) {
        if (process.parent == getpid() && process.state != 'Z' && RunsConverter(process.pid)) {
            children.insert(process.pid);
        }
    }
    return children;
}

int OpenDescriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::NoDotAndDotDot | QDir::System)
                                .size());
}

// Watches a run: the converters in the process table, the descriptors, and what the bar shows
// each time it is painted.
class RunWatcher : public QObject {
  public:
    explicit RunWatcher(QProgressBar* bar) : m_bar(bar) {
        bar->installEventFilter(this);
        connect(bar, &QProgressBar::valueChanged, this, [this](int value) { values << value; });
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, [this] { Look(); });
        m_timer.start();
    }

    std::function<void(int running)> onLook;  // called at every look
    int peakConverters = 0;
    std::set<pid_t> convertersSeen;
    QStringList started;  // the books whose converters were seen, in the order first seen
    int mostDescriptors = 0;
    QStringList shown;  // the bar's texts as painted, without the runner's counter, in order
    QList<int> values;  // every value the bar took

    void Look() {
        const std::set<pid_t> running = RunningChildren();
        peakConverters = std::max(peakConverters, static_cast<int>(running.size()));
        for (const pid_t pid : running) {
            if (convertersSeen.insert(pid).second) {
                started << SourceOf(pid);
            }
        }
        mostDescriptors = std::max(mostDescriptors, OpenDescriptors());
        if (onLook) {
            onLook(static_cast<int>(running.size()));
        }
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_bar && event->type() == QEvent::Paint) {
            QString text = ProgressBarDisplay::TextOf(m_bar->format());
            text.remove(QRegularExpression(QStringLiteral("(, )?Please wait\\.\\. \\d+$")));
            if (shown.isEmpty() || shown.last() != text) {
                shown << text;
            }
        }
        return false;
    }

  private:
    QProgressBar* m_bar;
    QTimer m_timer;
};

bool Copy(const QString& from, const QString& to) {
    QDir().mkpath(QFileInfo(to).path());
    QFile::remove(to);
    return QFile::copy(from, to);
}

// count copies of book in work's folder "in" (book1.epub, book2.epub, ...); none when one could
// not be made.
QStringList Copies(const QTemporaryDir& work, const QString& book, int count) {
    QStringList copies;
    for (int i = 1; i <= count; ++i) {
        copies << work.filePath(QStringLiteral("in/book%1.epub").arg(i));
        if (!Copy(book, copies.last())) {
            return {};
        }
    }
    return copies;
}

// Files of a folder and below, relative to it, sorted.
QStringList FilesBelow(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files << QDir(folder).relativeFilePath(it.next());
    }
    files.sort();
    return files;
}

// What the window showed and left after a run.
struct RunResult {
    QList<ScriptedDialogs::Box> boxes;
    QStringList shown;
    QList<int> values;
    int peakConverters = 0;
    std::set<pid_t> converters;
    QStringList started;
    int mostDescriptors = 0;
    QString finalText;
    int finalValue = -1;
    bool finalHourglass = true;
    bool finalBusy = true;
};

}  // namespace

class LookAheadWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_books;

    QString Book(const QString& name) const { return m_books.filePath(name); }
    QString Temp() const { return qEnvironmentVariable("TEMP"); }

    // The run folders the program made under TEMP and left there.
    QStringList RunFoldersLeft() const {
        return QDir(Temp()).entryList({QStringLiteral("calibre*")},
                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    // Opens the window with the results going to `out`, `converters` allowed at once, and
    // `sources` listed.
    static std::unique_ptr<ScriptedWindow> OpenWithList(const QStringList& sources,
                                                        const QString& out, int converters) {
        UseSettings(out, converters);
        auto window = std::make_unique<ScriptedWindow>(std::make_unique<ScriptedDialogs>());
        window->form.show();
        window->form.List().Append(sources);
        return window;
    }

    // The next window sends its outputs to out, with that many converters at once.
    static void UseSettings(const QString& out, int converters) {
        SaveSetting(Setting::Option1, QStringLiteral("True"));
        SaveSetting(Setting::Option2, QStringLiteral("False"));
        SaveSetting(Setting::Text1, out + QLatin1Char('/'));
        SaveSetting(Setting::Jobs, QString::number(converters));
    }

    // Opens the window with the results going to `out`, lists `sources`, presses "Start
    // Converting" with `converters` allowed at once and gives what the run showed; `watch`
    // is called at every look of the watcher, with the window.
    RunResult Convert(const QStringList& sources, const QString& out, int converters,
                      const std::function<void(Form1&, int)>& watch = {}) {
        const std::unique_ptr<ScriptedWindow> window = OpenWithList(sources, out, converters);
        Form1& form = window->form;
        RunWatcher watcher(form.ProgressBar1);
        if (watch) {
            watcher.onLook = [&form, &watch](int running) { watch(form, running); };
        }
        form.PushButton2->click();
        watcher.Look();
        RunResult result;
        result.boxes = window->boxes->boxes;
        result.shown = watcher.shown;
        result.values = watcher.values;
        result.peakConverters = watcher.peakConverters;
        result.converters = watcher.convertersSeen;
        result.started = watcher.started;
        result.mostDescriptors = watcher.mostDescriptors;
        result.finalText = ProgressBarDisplay::TextOf(form.ProgressBar1->format());
        result.finalValue = form.ProgressBar1->value();
        result.finalHourglass = form.mousePointer() == MousePointer::Hourglass;
        result.finalBusy = form.IsBusy;
        return result;
    }

    // Neither a converter, its group, a temporary output nor a run folder is left.
    void CheckNothingLeft(const RunResult& run, const QString& out) {
        QVERIFY(RunningChildren().empty());
        for (const ProcessEntry& process : ProcessTable()) {
            QVERIFY2(
                run.converters.count(process.group) == 0,
                qPrintable(
                    QStringLiteral("process %1 of a converter's group is left").arg(process.pid)));
        }
        for (const QString& file : FilesBelow(out)) {
            QVERIFY2(!file.contains(QStringLiteral(".brindlequill-")), qPrintable(file));
        }
        QCOMPARE(RunFoldersLeft(), QStringList());
    }

  private slots:
    void initTestCase() {
        QVERIFY(m_books.isValid());
        UseBuiltHelpers();
        QProcess make;
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(BQ_MAKE_BOOKS), m_books.path(), QStringLiteral("plain-epub2"),
                    QStringLiteral("epub3-pictures"), QStringLiteral("mathml"),
                    QStringLiteral("broken"), QStringLiteral("long-chapter")});
        QVERIFY(make.waitForFinished(120000));
        QVERIFY2(make.exitCode() == 0, make.readAll().constData());
        QFile zero(Book(QStringLiteral("zero.epub")));
        QVERIFY(zero.open(QIODevice::WriteOnly));
    }

    void mixedBatchIsTheSameWithOneOrThreeConverters() {
        // Good and broken books taking turns, two results of the same name (the later, a
        // different book, fails and the earlier stays), a source that is its own result, a file
        // that is gone, and the book expected to take longest last.
        QTemporaryDir work;
        const QString out = work.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        const QString firstSame = work.filePath(QStringLiteral("a/Same.epub"));
        const QString laterSame = work.filePath(QStringLiteral("b/Same.epub"));
        QVERIFY(Copy(Book(QStringLiteral("mathml.epub")), firstSame));
        QVERIFY(Copy(Book(QStringLiteral("epub3-pictures.epub")), laterSame));
        const QString own = out + QStringLiteral("/own.mobi");
        {
            QFile file(own);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not touched");
        }
        const QStringList sources = {
            Book(QStringLiteral("plain-epub2.epub")),
            Book(QStringLiteral("broken.epub")),
            firstSame,
            Book(QStringLiteral("zero.epub")),
            laterSame,
            own,
            work.filePath(QStringLiteral("gone.epub")),
            Book(QStringLiteral("long-chapter.epub")),
        };

        QStringList outputsOf[2];
        RunResult runs[2];
        const int converters[2] = {1, 3};
        for (int k = 0; k < 2; ++k) {
            for (const QString& file : FilesBelow(out)) {
                if (file != QStringLiteral("own.mobi")) {
                    QVERIFY(QFile::remove(out + QLatin1Char('/') + file));
                }
            }
            runs[k] = Convert(sources, out, converters[k]);
            CheckNothingLeft(runs[k], out);
            outputsOf[k] = FilesBelow(out);
            QVERIFY(!ReadByMobitool(out + QStringLiteral("/plain-epub2.mobi")).isEmpty());
            const QString same = ReadByMobitool(out + QStringLiteral("/Same.mobi"));
            QVERIFY2(same.contains(QStringLiteral("Formulas")), qPrintable(same));
            QCOMPARE(ReadAll(own), QByteArray("not touched"));
            QVERIFY2(runs[k].peakConverters <= converters[k],
                     qPrintable(QString::number(runs[k].peakConverters)));
            QVERIFY(!runs[k].finalHourglass);
            QVERIFY(!runs[k].finalBusy);
            QCOMPARE(runs[k].finalText, QStringLiteral("Progress Bar"));
            QCOMPARE(runs[k].finalValue, 0);
        }
        // Three converters did run side by side (five of the entries have one).
        QVERIFY2(runs[1].peakConverters >= 2, qPrintable(QString::number(runs[1].peakConverters)));
        QCOMPARE(runs[0].peakConverters, 1);

        QCOMPARE(outputsOf[1], outputsOf[0]);
        QCOMPARE(outputsOf[0],
                 (QStringList{"Same.mobi", "long-chapter.mobi", "own.mobi", "plain-epub2.mobi"}));
        // One converter goes down the list; with three, a spare one takes the longest book,
        // last in the list, at once: it is among the first three to start.
        QCOMPARE(runs[0].started.last(), sources.last());
        const qsizetype longest = runs[1].started.indexOf(sources.last());
        QVERIFY2(longest >= 0 && longest < 3,
                 qPrintable(runs[1].started.join(QStringLiteral(" | "))));
        QCOMPARE(runs[0].boxes.size(), 1);
        QCOMPARE(runs[1].boxes.size(), 1);
        // Each run keeps its converter logs in a folder of its own; the rest of the box is one.
        const auto sameRun = [](QString prompt) {
            return prompt.replace(QRegularExpression(QStringLiteral("/logs/[0-9_-]+$")),
                                  QStringLiteral("/logs/RUN"));
        };
        QVERIFY(runs[0].boxes[0].prompt.contains(QStringLiteral("/brindlequill/logs/")));
        QCOMPARE(sameRun(runs[1].boxes[0].prompt), sameRun(runs[0].boxes[0].prompt));
        QCOMPARE(runs[1].boxes[0].style, runs[0].boxes[0].style);
        const QString summary = runs[0].boxes[0].prompt;
        QVERIFY2(summary.startsWith(QStringLiteral("Converted 3 of 8 books.")),
                 qPrintable(summary));
        // Failures in list order, each once; the skip and the later book of the same name named.
        const qsizetype broken = summary.indexOf(Book(QStringLiteral("broken.epub")));
        const qsizetype zero = summary.indexOf(Book(QStringLiteral("zero.epub")));
        const qsizetype gone = summary.indexOf(work.filePath(QStringLiteral("gone.epub")));
        QVERIFY(broken > 0 && broken < zero && zero < gone);
        QCOMPARE(summary.count(Book(QStringLiteral("broken.epub"))), 1);
        QVERIFY(summary.contains(own));
        QVERIFY(summary.contains(laterSame + QStringLiteral("\r\n    its result ") + out +
                                 QStringLiteral("/Same.mobi would replace the one just made "
                                                "from ") +
                                 firstSame));

        // The same display: every entry shown in list order with the same bar values.
        // (The runner's creeping values depend on how long a converter takes; the loop's own
        // values are each entry's share.)
        QList<int> loopValues;
        for (int i = 1; i <= sources.size(); ++i) {
            loopValues << static_cast<int>(std::lrint(100.0 * i / sources.size()));  // as the bar
        }
        loopValues << 0;
        const auto loopsOwn = [&loopValues](const QList<int>& values) {
            QList<int> kept;
            for (const int value : values) {
                if (loopValues.contains(value)) {
                    kept << value;
                }
            }
            return kept;
        };
        QCOMPARE(runs[1].shown, runs[0].shown);
        QCOMPARE(loopsOwn(runs[0].values), loopValues);
        QCOMPARE(loopsOwn(runs[1].values), loopValues);
        QStringList expected = {QStringLiteral("Preparing..")};
        for (const QString& source : sources) {
            expected << QStringLiteral("Processing: ") + QFileInfo(source).fileName();
        }
        // (The reset bar is painted only after the last box, which the test answers at once.)
        QStringList shown = runs[0].shown.mid(runs[0].shown.indexOf(QStringLiteral("Preparing..")));
        shown.removeAll(QStringLiteral("Progress Bar"));
        QVERIFY2(shown == expected, qPrintable(shown.join(QStringLiteral(" | "))));
    }

    void batchOfOneWithMoreConvertersThanEntries() {
        QTemporaryDir work;
        const RunResult run = Convert({Book(QStringLiteral("plain-epub2.epub"))}, work.path(), 4);
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].prompt, QStringLiteral("Done."));
        QVERIFY(run.values.contains(100));
        QCOMPARE(run.peakConverters, 1);
        CheckNothingLeft(run, work.path());
        QVERIFY(!ReadByMobitool(work.filePath(QStringLiteral("plain-epub2.mobi"))).isEmpty());
    }

    void aThousandEntriesNeverRunMoreThanAllowedNorHoldMore() {
        // Real books at the start and the end, files that are gone in between.
        QTemporaryDir work;
        QStringList sources;
        for (int i = 1; i <= 1000; ++i) {
            if (i <= 3 || i == 1000) {
                const QString book = work.filePath(QStringLiteral("in/book%1.epub").arg(i));
                QVERIFY(Copy(Book(QStringLiteral("plain-epub2.epub")), book));
                sources << book;
            } else {
                sources << work.filePath(QStringLiteral("in/gone%1.epub").arg(i));
            }
        }
        const QString out = work.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        const int before = OpenDescriptors();
        const RunResult run = Convert(sources, out, 2);
        QVERIFY2(run.peakConverters == 2, qPrintable(QString::number(run.peakConverters)));
        // Starting a converter holds a few descriptors for a moment; nothing grows with the
        // list.
        QVERIFY2(run.mostDescriptors <= before + 8,
                 qPrintable(QStringLiteral("%1 then %2").arg(before).arg(run.mostDescriptors)));
        QVERIFY(OpenDescriptors() <= before + 2);
        CheckNothingLeft(run, out);
        QCOMPARE(FilesBelow(out),
                 (QStringList{"book1.mobi", "book1000.mobi", "book2.mobi", "book3.mobi"}));
        QCOMPARE(run.boxes.size(), 1);
        const QString summary = run.boxes[0].prompt;
        QVERIFY2(summary.startsWith(QStringLiteral("Converted 4 of 1000 books.")),
                 qPrintable(summary.left(200)));
        qsizetype last = -1;
        for (int i = 4; i < 1000; ++i) {
            const QString gone = work.filePath(QStringLiteral("in/gone%1.epub").arg(i));
            const qsizetype at = summary.indexOf(gone + QStringLiteral("\r\n"));
            QVERIFY2(at > last, qPrintable(gone));
            QCOMPARE(summary.count(gone + QStringLiteral("\r\n")), 1);
            last = at;
        }
    }

    void outputFolderVanishingMidRunLosesNothingElse() {
        QTemporaryDir work;
        const QStringList sources = Copies(work, Book(QStringLiteral("plain-epub2.epub")), 5);
        QVERIFY(!sources.isEmpty());
        const QString out = work.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        bool removed = false;
        const RunResult run = Convert(sources, out, 3, [&](Form1&, int running) {
            if (!removed && running >= 2) {
                removed = QDir(out).removeRecursively();
            }
        });
        QVERIFY(removed);
        CheckNothingLeft(run, work.path());
        QVERIFY(!QFileInfo::exists(out));
        for (const QString& source : sources) {
            QCOMPARE(ReadAll(source), ReadAll(Book(QStringLiteral("plain-epub2.epub"))));
        }
        QCOMPARE(run.boxes.size(), 1);
        const QString summary = run.boxes[0].prompt;
        const QRegularExpressionMatch counts =
            QRegularExpression(QStringLiteral("^Converted (\\d+) of 5 books\\.")).match(summary);
        QVERIFY2(counts.hasMatch(), qPrintable(summary));
        const int converted = counts.captured(1).toInt();
        QVERIFY(converted < 5);
        int named = 0;
        for (const QString& source : sources) {
            const qsizetype times = summary.count(source + QStringLiteral("\r\n"));
            QVERIFY2(times <= 1, qPrintable(source));
            named += static_cast<int>(times);
        }
        QCOMPARE(named, 5 - converted);
        QVERIFY2(summary.contains(QStringLiteral("does not exist")), qPrintable(summary));
    }

    // How a run ends early, with three converters busy: "Stop Converting" or Escape, answered
    // Yes, or closing the window (last: it ends the program's message loop). The converters and
    // the warm converter end, their partial outputs and the run folder go, the books already
    // converted are kept, the summary says how many were not converted (no box when closing),
    // and the idle window comes back.
    void stoppingMidRun_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Stop Converting") << "button";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("closing the window") << "close";
    }
    void stoppingMidRun() {
        QFETCH(QString, how);
        QTemporaryDir work;
        // A short first book and long ones after it: once the first is in place, three long
        // ones convert at once for seconds, however busy the machine.
        const QStringList sources = Copies(work, Book(QStringLiteral("long-chapter.epub")), 8);
        QVERIFY(!sources.isEmpty());
        QVERIFY(Copy(Book(QStringLiteral("plain-epub2.epub")), sources[0]));
        const QString out = work.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        const std::unique_ptr<ScriptedWindow> window = OpenWithList(sources, out, 3);
        Form1& form = window->form;
        window->boxes->boxAnswers << MbResultYes;
        RunWatcher watcher(form.ProgressBar1);
        int runningWhenStopped = 0;
        QString buttonWhileRunning;
        QElapsedTimer sinceYes;
        watcher.onLook = [&](int running) {
            const QStringList made =
                FilesBelow(out).filter(QRegularExpression(QStringLiteral("^book")));
            if (runningWhenStopped > 0 || running < 3 || made.isEmpty()) {
                return;
            }
            runningWhenStopped = running;
            buttonWhileRunning = form.PushButton2->text();
            sinceYes.start();
            if (how == QLatin1String("button")) {
                QTest::mouseClick(form.PushButton2, Qt::LeftButton);
            } else if (how == QLatin1String("escape")) {
                QTest::keyClick(form.ListView1, Qt::Key_Escape);
            } else {
                form.close();
            }
        };
        qint64 stopMs = -1;
        QTimer::singleShot(0, &form, [&] {
            form.PushButton2->click();  // returns once the run has ended
            stopMs = sinceYes.isValid() ? sinceYes.elapsed() : -1;
            QCoreApplication::exit(0);
        });
        QTimer::singleShot(300000, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY2(runningWhenStopped >= 3,
                 qPrintable(QStringLiteral("at most %1 converters at once; made: %2; boxes: %3")
                                .arg(watcher.peakConverters)
                                .arg(FilesBelow(out).join(QLatin1Char(' ')),
                                     window->boxes->Prompts().join(QLatin1String(" | ")))));
        QCOMPARE(buttonWhileRunning, QStringLiteral("Stop Converting"));
        qInfo().noquote() << how << "stopped" << runningWhenStopped << "converters in" << stopMs
                          << "ms";
        const QStringList kept = FilesBelow(out);
        QVERIFY(!kept.isEmpty() && kept.size() < sources.size());
        for (const QString& made : kept) {
            QVERIFY2(!ReadByMobitool(out + QLatin1Char('/') + made).isEmpty(), qPrintable(made));
        }
        const QStringList prompts = window->boxes->Prompts();
        if (how == QLatin1String("close")) {
            QCOMPARE(prompts, QStringList());
        } else {
            QCOMPARE(prompts.size(), 2);
            QCOMPARE(prompts[0],
                     QStringLiteral("Stop converting? Books already converted are kept."));
            QCOMPARE(window->boxes->boxes[0].style, MbYesNo | MbDefaultButton2);
            QVERIFY2(prompts[1].startsWith(QStringLiteral("Converted %1 of %2 books.")
                                               .arg(kept.size())
                                               .arg(sources.size())) &&
                         prompts[1].contains(
                             QStringLiteral("Not converted because the run was stopped (%1 book")
                                 .arg(sources.size() - kept.size())),
                     qPrintable(prompts[1]));
            QCOMPARE(form.PushButton2->text(), QStringLiteral("Start Converting"));
            QCOMPARE(form.ProgressBar1->format(), QStringLiteral("Progress Bar"));
            QCOMPARE(form.mousePointer(), MousePointer::Default);
        }
        QVERIFY(!form.IsBusy);
        RunResult run;
        run.converters = watcher.convertersSeen;
        CheckNothingLeft(run, out);
        QCOMPARE(WarmConvertersLeft(), 0);
    }
};

BQ_TEST_MAIN(LookAheadWindowTest)
#include "tst_look_ahead_window.moc"
