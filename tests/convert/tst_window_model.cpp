// The window, model-checked: random sequences of what a person does (add files, add a folder,
// drop, samples, move, remove, clear, the options and the folder box, Start, Stop answered Yes
// or No, Escape, closing) drive the real window (offscreen, its boxes answered by a script),
// with a stand-in converter whose behaviour each book chooses at random (fast, slow, failing,
// hanging, deaf to SIGTERM, crashing, a truncated MOBI, a child left behind). After each
// sequence: nothing of the run runs within 5 s, nothing is left in TEMP or beside the outputs,
// every entry listed at Start has its whole output in place or is named in the last box (once for
// each time it is listed), an old output is replaced only by a whole new one, and the window is
// idle and takes a drop.
//
// BQ_MODEL_SEED (default 25) and BQ_MODEL_SEQUENCES (default 200, 50 in the sanitizer build)
// choose the sequences: sequence i uses seed BQ_MODEL_SEED + i, so a failing one (printed with
// its steps) is replayed alone with its seed and BQ_MODEL_SEQUENCES=1. A longer run by hand:
// BQ_MODEL_SEQUENCES=2000.
#include "app/Form1.h"
#include "app/MousePointer.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/DialogSeam.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/FileContent.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedWindow.h"
#include "support/StandinArchive.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <memory>
#include <random>

using namespace bq;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build is for what its checks find, not for the count: fewer, slower sequences.
constexpr int kDefaultSequences = 50;
#else
constexpr int kDefaultSequences = 200;
#endif

const char* const kBehaviours[] = {"GOOD", "GOOD",      "SLEEP 0.4", "FAIL broken", "DEAF",
                                   "KILL", "TRUNCATED", "ORPHAN",    "SLEEP 30"};

}  // namespace

class WindowModelTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work{QStringLiteral("/tmp/bq-window-model-XXXXXX")};
    QByteArray m_archive;
    QByteArray m_sample;
    QString m_calls;
    qint64 m_longestGap = 0;
    int m_sequences = 0;
    QElapsedTimer m_clock;

    QString Temp() const { return qEnvironmentVariable("TEMP"); }

    // One sequence: gives "" when every check held, else what failed.
    QString RunSequence(unsigned seed, QStringList& steps) {
        std::mt19937 random(seed);
        const auto pick = [&random](int count) {
            return static_cast<int>(random() % static_cast<unsigned>(count));
        };
        const QString root = m_work.path() + QStringLiteral("/seq");
        QDir(root).removeRecursively();
        const QString books = root + QStringLiteral("/books");
        const QString folder = books + QStringLiteral("/more");
        const QStringList outs = {root + QStringLiteral("/out-a"), root + QStringLiteral("/out-b")};
        for (const QString& made : QStringList{folder, outs[0], outs[1]}) {
            QDir().mkpath(made);
        }
        QFile::remove(m_calls);
        Write(m_calls, {});

        // Books with a behaviour each; some have an old output in each place already.
        QStringList paths;
        QMap<QString, QByteArray> before;  // every output place and what it held at first
        const int bookCount = 2 + pick(6);
        for (int i = 0; i < bookCount; ++i) {
            const QString name = QStringLiteral("b%1").arg(i, 2, 10, QLatin1Char('0'));
            const QString path =
                (i % 3 == 2 ? folder : books) + QLatin1Char('/') + name + QStringLiteral(".epub");
            const char* behaviour = kBehaviours[pick(std::size(kBehaviours))];
            Write(path, QByteArray(behaviour) + '\n');
            paths << path;
            const QStringList places = {
                outs[0] + QLatin1Char('/') + name + QStringLiteral(".mobi"),
                outs[1] + QLatin1Char('/') + name + QStringLiteral(".mobi"),
                QFileInfo(path).path() + QLatin1Char('/') + name + QStringLiteral(".mobi")};
            for (const QString& place : places) {
                if (pick(3) == 0) {
                    Write(place, "OLD " + place.toUtf8());
                }
                before[place] = QFileInfo::exists(place) ? Content(place) : QByteArray();
            }
            steps << QStringLiteral("book %1: %2").arg(name, QLatin1String(behaviour));
        }

        SaveSetting(Setting::Option1,
                    pick(2) == 0 ? QStringLiteral("True") : QStringLiteral("False"));
        SaveSetting(Setting::Option2, QStringLiteral("False"));
        SaveSetting(Setting::Text1, outs[0] + QLatin1Char('/'));
        auto window = std::make_unique<ScriptedWindow>(std::make_unique<ScriptedDialogs>());
        Form1& form = window->form;
        ScriptedDialogs& boxes = *window->boxes;
        ConversionSetup setup;
        const QByteArray archive = m_archive;
        setup.archive = [archive] { return archive; };
        setup.converters = 1 + pick(3);
        setup.timeLimit = std::chrono::milliseconds(1500);
        form.SetRunSetup(setup);
        form.show();
        steps << QStringLiteral("converters %1").arg(setup.converters);

        bool closed = false;
        bool escapeIgnored = false;  // Escape during a run asked nothing
        // What a person may do, before the run or during it.
        const auto act = [&](int what) {
            switch (what) {
                case 0: {
                    const QString path = paths[pick(static_cast<int>(paths.size()))];
                    steps << QStringLiteral("add file ") + QFileInfo(path).fileName();
                    boxes.openAnswers << path;
                    form.PushButton1_Click();
                    break;
                }
                case 1:
                    steps << QStringLiteral("add folder");
                    boxes.inputAnswers << QStringLiteral("epub");
                    boxes.folderAnswers << folder;
                    form.PushButton4_Click();
                    break;
                case 2: {
                    QStringList dropped;
                    for (int n = 1 + pick(3); n > 0; --n) {
                        dropped << paths[pick(static_cast<int>(paths.size()))];
                    }
                    steps << QStringLiteral("drop %1 files").arg(dropped.size());
                    form.ListView1_OLEDragDrop(dropped);
                    break;
                }
                case 3:
                    steps << QStringLiteral("samples");
                    form.PushButton7_Click();
                    break;
                case 4: {
                    const int count = form.List().Count();
                    if (count < 2) {
                        break;
                    }
                    const int from = pick(count);
                    const int to = pick(count);
                    steps << QStringLiteral("move %1 to %2").arg(from).arg(to);
                    const QModelIndex item = form.ListView1->model()->index(from, 0);
                    form.ListView1->setCurrentIndex(item);
                    form.ListView1_ItemClick(item);
                    form.ListView1_MouseDown();
                    const QRect target =
                        form.ListView1->visualRect(form.ListView1->model()->index(to, 0));
                    form.ListView1_MouseMove(target.center(),
                                             form.ListView1->mapToGlobal(target.center()).y());
                    form.ListView1_MouseUp();
                    break;
                }
                case 5: {
                    const int count = form.List().Count();
                    if (count == 0) {
                        break;
                    }
                    const int row = pick(count);
                    steps << QStringLiteral("remove %1").arg(row);
                    form.ListView1->setCurrentIndex(form.ListView1->model()->index(row, 0));
                    form.ListView1_KeyDown(46);
                    break;
                }
                case 6:
                    steps << QStringLiteral("clear");
                    form.PushButton6_Click();
                    break;
                case 7:
                    steps << QStringLiteral("option beside the books");
                    form.Option2->click();
                    break;
                case 8:
                    steps << QStringLiteral("option folder");
                    form.Option1->click();
                    break;
                default: {
                    const QString out = outs[pick(2)] + QLatin1Char('/');
                    steps << QStringLiteral("folder box ") + QFileInfo(out).dir().dirName();
                    form.Text1->setText(out);
                    break;
                }
            }
        };
        for (int n = 2 + pick(5); n > 0; --n) {
            act(pick(10));
        }
        const QStringList listed = form.List().Entries();

        // What happens during the run, each at a moment of its own.
        const int during = pick(4);
        for (int n = 0; n < during; ++n) {
            const int when = pick(1500);
            const int what = pick(14);
            QTimer::singleShot(when, &form, [&, what, when] {
                if (closed || !form.IsBusy) {
                    return;
                }
                if (what < 10) {
                    steps << QStringLiteral("at %1 ms:").arg(when);
                    act(what);
                } else if (what == 10 || what == 11) {
                    const bool yes = what == 10;
                    steps << QStringLiteral("at %1 ms: Stop, %2").arg(when).arg(yes ? "Yes" : "No");
                    boxes.boxAnswers.prepend(yes ? MbResultYes : MbResultNo);
                    form.AskToStopConverting();
                } else if (what == 12) {
                    steps << QStringLiteral("at %1 ms: Escape, Yes").arg(when);
                    boxes.boxAnswers.prepend(MbResultYes);
                    form.activateWindow();
                    const qsizetype shown = boxes.boxes.size();
                    QTest::keyClick(&form, Qt::Key_Escape);
                    if (boxes.boxes.size() == shown) {
                        escapeIgnored = true;
                    }
                } else {
                    steps << QStringLiteral("at %1 ms: close").arg(when);
                    closed = true;
                    form.close();
                }
            });
        }
        steps << QStringLiteral("Start with %1 entries").arg(listed.size());
        // The window's longest gap while the run goes: a timer that should tick every 10 ms.
        QElapsedTimer gap;
        gap.start();
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { m_longestGap = std::max(m_longestGap, gap.restart()); });
        ticker.start();
        const qsizetype boxesBefore = boxes.boxes.size();
        form.PushButton2_Click();
        ticker.stop();

        if (escapeIgnored) {
            return QStringLiteral("Escape during the run did not ask to stop");
        }
        // Nothing of the run runs within 5 s, nothing is left in TEMP or beside the outputs.
        for (const QByteArray& line : Content(m_calls).split('\n')) {
            const pid_t pid = line.split('\t').value(0).toInt();
            QElapsedTimer waited;
            waited.start();
            while (pid > 0 && LiveMembersOfGroup(pid) > 0 && waited.elapsed() < 5000) {
                QTest::qWait(20);
            }
            if (pid > 0 && LiveMembersOfGroup(pid) > 0) {
                return QStringLiteral("a converter's process group %1 still runs").arg(pid);
            }
        }
        if (!Entries(Temp()).isEmpty()) {
            return QStringLiteral("left in TEMP: ") + Entries(Temp()).join(QLatin1Char(' '));
        }
        for (const QString& place : QStringList{books, folder, outs[0], outs[1]}) {
            for (const QString& name : Entries(place)) {
                if (name.startsWith(QLatin1Char('.'))) {
                    return QStringLiteral("a temporary is left: ") + place + QLatin1Char('/') +
                           name;
                }
            }
        }
        // An old output is replaced only by a whole new one.
        QSet<QString> converted;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const QByteArray now = QFileInfo::exists(it.key()) ? Content(it.key()) : QByteArray();
            if (now != it.value() && now != m_sample) {
                return QStringLiteral("%1 holds neither its old content nor a whole new book")
                    .arg(it.key());
            }
            if (now == m_sample) {
                converted.insert(QFileInfo(it.key()).completeBaseName());
            }
        }
        // Every entry listed at Start has its output in place or is named once in the last box
        // (a window closed mid-run shows no box).
        QString summary;
        for (qsizetype b = boxesBefore; b < boxes.boxes.size(); ++b) {
            summary += boxes.boxes[b].prompt + QLatin1Char('\n');
        }
        for (const QString& entry : listed) {
            const bool made = converted.contains(QFileInfo(entry).completeBaseName());
            const qsizetype named =
                summary.count(entry + QStringLiteral("\r\n")) + summary.count(entry + '\n');
            // An entry listed twice is named twice (its second time fails: the same output).
            if (!closed && !made && named != listed.count(entry)) {
                return QStringLiteral("%1 is named %2 times in the last box and has no output:\n%3")
                    .arg(entry)
                    .arg(named)
                    .arg(summary);
            }
        }
        // The window is idle and usable.
        // (a window closed mid-run keeps the hourglass until it is gone).
        if (form.IsBusy || (!closed && form.mousePointer() == MousePointer::Hourglass)) {
            return QStringLiteral("the window is still busy");
        }
        if (!closed) {
            const int count = form.List().Count();
            form.ListView1_OLEDragDrop({m_work.path() + QStringLiteral("/extra.epub")});
            if (form.List().Count() != count + 1) {
                return QStringLiteral("the window does not take a drop after the run");
            }
        }
        return QString();
    }

  private slots:
    void initTestCase() {
        UseBuiltHelpers();
        QVERIFY(m_work.isValid());
        const QString runtime = m_work.path() + QStringLiteral("/standin");
        QDir().mkpath(runtime);
        QVERIFY(QFile::copy(QStringLiteral(BQ_STANDIN_DIR "/ebook-convert"),
                            runtime + QStringLiteral("/ebook-convert")));
        QVERIFY(
            QFile::copy(QStringLiteral(BQ_SAMPLE_MOBI), runtime + QStringLiteral("/sample.mobi")));
        m_sample = Content(runtime + QStringLiteral("/sample.mobi"));
        QProcess zip;
        zip.setWorkingDirectory(runtime);
        zip.start(QStringLiteral("zip"),
                  {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("../standin.zip"),
                   QStringLiteral("ebook-convert"), QStringLiteral("sample.mobi")});
        QVERIFY(zip.waitForFinished(30000));
        QCOMPARE(zip.exitCode(), 0);
        m_archive = Content(m_work.path() + QStringLiteral("/standin.zip"));
        Write(m_work.path() + QStringLiteral("/extra.epub"), "GOOD\n");
        m_calls = m_work.path() + QStringLiteral("/calls.txt");
        qputenv("BQ_STANDIN_CALLS", QFile::encodeName(m_calls));
    }

    // The sequences in batches, so that no test function runs for long.
    void randomSequences_data() {
        QTest::addColumn<unsigned>("first");
        QTest::addColumn<int>("count");
        const unsigned seed = qEnvironmentVariableIsSet("BQ_MODEL_SEED")
                                  ? qEnvironmentVariable("BQ_MODEL_SEED").toUInt()
                                  : 25;
        const int count = qEnvironmentVariableIsSet("BQ_MODEL_SEQUENCES")
                              ? qEnvironmentVariableIntValue("BQ_MODEL_SEQUENCES")
                              : kDefaultSequences;
        constexpr int kBatch = 25;
        for (int done = 0; done < count; done += kBatch) {
            const unsigned first = seed + static_cast<unsigned>(done);
            const int batch = std::min(kBatch, count - done);
            QTest::addRow("seeds %u to %u", first, first + static_cast<unsigned>(batch) - 1)
                << first << batch;
        }
        m_clock.start();
    }
    void randomSequences() {
        QFETCH(unsigned, first);
        QFETCH(int, count);
        for (unsigned seed = first; seed < first + static_cast<unsigned>(count); ++seed) {
            QStringList steps;
            const QString problem = RunSequence(seed, steps);
            ++m_sequences;
            if (!problem.isEmpty()) {
                QFAIL(qPrintable(QStringLiteral("sequence with BQ_MODEL_SEED=%1: %2\nsteps:\n  %3")
                                     .arg(seed)
                                     .arg(problem, steps.join(QStringLiteral("\n  ")))));
            }
        }
    }
    void cleanupTestCase() {
        const double minutes = static_cast<double>(m_clock.elapsed()) / 60000.0;
        qInfo("%d sequences, %.0f per minute; the window's longest gap: %lld ms", m_sequences,
              m_sequences / std::max(minutes, 1e-6), static_cast<long long>(m_longestGap));
    }
};

BQ_TEST_MAIN(WindowModelTest)
#include "tst_window_model.moc"
