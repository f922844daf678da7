// The conversion run without the window: a list model, a recording bar and scripted boxes, and a
// stand-in converter (standin/ebook-convert) carried in a runtime archive of the test's own, so
// that each converter's result is chosen by the book. Output paths, the refusals, failure
// detection and the summary, the same-output and self-output rules, the provisioning mends, the
// unprivileged cases, and closing mid-run.
#include "AsNobody.h"
#include "convert/BookLimits.h"
#include "convert/ConversionRun.h"
#include "convert/ConverterRuntime.h"
#include "convert/FailureReason.h"
#include "convert/KeptLogs.h"
#include "convert/MobiCheck.h"
#include "convert/OutputDestination.h"
#include "convert/RunFolder.h"
#include "convert/SummaryText.h"
#include "fs/PathText.h"
#include "platform/RunTimeError.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/FatStick.h"
#include "support/FileContent.h"
#include "support/FolderSnapshot.h"
#include "support/ScriptedDialogs.h"
#include "support/StandinArchive.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <stdexcept>

using namespace bq;

namespace {

// The progress bar as the run's events leave it.
struct RecordingBar {
    QString text = QStringLiteral("Progress Bar");
    double value = 0;
    QStringList texts;
    QList<double> values;

    void SetText(const QString& t) {
        text = t;
        texts << t;
    }
    void SetValue(double v) {
        value = v;
        values << v;
    }
};

// The window's side of a run, recorded: its boxes go to the scripted dialogs as the window shows
// them, its bar and hourglass to recorders.
class RecordingFace : public RunObserver {
  public:
    RecordingFace(ScriptedDialogs& dialogs, RecordingBar& bar, QList<bool>& hourglass,
                  const QStandardItemModel& list)
        : m_dialogs(dialogs), m_bar(bar), m_hourglass(hourglass), m_list(list) {}

    void Refused(const QString& message) override {
        m_dialogs.MsgBox(message, MbOkOnly, QStringLiteral("Brindlequill"));
    }
    void Busy(bool busy) override { m_hourglass << busy; }
    void Preparing() override { m_bar.SetText(QStringLiteral("Preparing..")); }
    void Progress(double percent) override { m_bar.SetValue(percent); }
    void BookStarted(int, const QString& source) override {
        m_bar.SetText(QStringLiteral("Processing: ") + FileNamePart(source));
    }
    void BookDone(const BookOutcome& outcome) override { outcomes << outcome; }
    void Idle() override { m_bar.SetText(QStringLiteral("Progress Bar")); }
    void RunEnded(const ConversionSummary& summary) override {
        const int style = summary.provisioningFailed() || summary.failed() + summary.skipped() > 0
                              ? MbExclamation
                              : MbOkOnly;
        if (!summary.logFolder().isEmpty()) {
            m_dialogs.MsgBoxWithFolder(SummaryHeadline(summary), SummaryDetails(summary), style,
                                       QStringLiteral("Brindlequill"), summary.logFolder());
            return;
        }
        m_dialogs.MsgBoxWithDetails(SummaryHeadline(summary), SummaryDetails(summary), style,
                                    QStringLiteral("Brindlequill"));
    }
    void ErrorReport(const QString& text) override {
        m_dialogs.MsgBox(text, MbExclamation, QStringLiteral("Application Error"));
    }
    int EntriesNow() const override { return m_list.rowCount(); }

    QList<BookOutcome> outcomes;

  private:
    ScriptedDialogs& m_dialogs;
    RecordingBar& m_bar;
    QList<bool>& m_hourglass;
    const QStandardItemModel& m_list;
};

QString Temp() {
    return qEnvironmentVariable("TEMP");
}

QStringList TempEntries() {
    return Entries(Temp());
}

}  // namespace

class ConversionRunTest : public QObject {
    Q_OBJECT

  private:
    // The stand-in runtime, books and outputs: outside TEMP, and reachable by nobody.
    QTemporaryDir m_work{QStringLiteral("/tmp/bq-conversion-run-XXXXXX")};
    QByteArray m_archive;
    QByteArray m_sample;
    QString m_calls;

    QStandardItemModel m_list;
    RecordingBar m_bar;
    ScriptedDialogs m_dialogs;
    QList<bool> m_hourglass;
    OutputOptions m_options;
    std::function<QByteArray()> m_archiveSource;
    ConversionSetup m_setup;
    QStringList m_roots;  // the folder each entry was added from

    std::unique_ptr<RecordingFace> m_face;

    RunRequest Request() {
        RunRequest request;
        for (int row = 0; row < m_list.rowCount(); ++row) {
            request.sources << m_list.index(row, 0).data().toString();
        }
        request.roots = m_roots;
        request.outputRule = [this] { return m_options; };
        return request;
    }
    // Runs "Start Converting" once; gives the run for its record.
    std::unique_ptr<ConversionRun> Run(const std::function<void(ConversionRun&)>& during = {}) {
        // One converter at a time, whatever the machine: these tests follow the entries one by
        // one (the look-ahead has tests of its own).
        ConversionSetup setup = m_setup;
        setup.archive = m_archiveSource;
        m_face = std::make_unique<RecordingFace>(m_dialogs, m_bar, m_hourglass, m_list);
        auto run = std::make_unique<ConversionRun>(Request(), *m_face, setup);
        if (during) {
            during(*run);
        }
        run->Start();
        return run;
    }
    void List(const QStringList& paths) {
        for (const QString& path : paths) {
            m_list.appendRow(new QStandardItem(path));
        }
    }
    QString Book(const QString& name, const QByteArray& content) {
        const QString path = m_work.path() + QStringLiteral("/books/") + name;
        Write(path, content + "\n");
        return path;
    }
    QString Folder(const QString& name) {
        return FreshFolder(m_work.path() + QLatin1Char('/') + name);
    }
    QString OnlyPrompt() const {
        return m_dialogs.boxes.size() == 1 ? m_dialogs.boxes[0].prompt : QString();
    }
    void CheckIdleAfterRun() {
        QCOMPARE(m_bar.text, QStringLiteral("Progress Bar"));
        QCOMPARE(m_bar.value, 0.0);
        QVERIFY(!m_hourglass.isEmpty() && !m_hourglass.last());
        QCOMPARE(TempEntries(), QStringList());
    }

  private slots:
    void initTestCase() {
        UseBuiltHelpers();
        QVERIFY(m_work.isValid());
        QVERIFY(QFile::setPermissions(m_work.path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther));
        m_archive = MakeStandinArchive(m_work.path());
        QVERIFY(!m_archive.isEmpty());
        m_sample = Content(m_work.path() + QStringLiteral("/standin/sample.mobi"));
        QVERIFY(m_sample.size() > 1000);
        m_calls = m_work.path() + QStringLiteral("/calls.txt");
        qputenv("BQ_STANDIN_CALLS", QFile::encodeName(m_calls));
    }
    void init() {
        m_list.clear();
        m_bar = RecordingBar();
        m_dialogs = ScriptedDialogs();
        m_hourglass.clear();
        m_options = OutputOptions{true, false, Folder(QStringLiteral("out"))};
        const QByteArray archive = m_archive;
        m_archiveSource = [archive] { return archive; };
        m_setup = ConversionSetup{};
        m_setup.converters = 1;
        m_roots.clear();
        QFile::remove(m_calls);
        Write(m_calls, {});
        QFile::setPermissions(m_calls, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::WriteOther | QFileDevice::ReadOther);
        for (const QString& name : TempEntries()) {
            const QString path = Temp() + QLatin1Char('/') + name;
            QFileInfo(path).isDir() && !QFileInfo(path).isSymLink() ? QDir(path).removeRecursively()
                                                                    : QFile::remove(path);
        }
    }

    void outputPaths_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("option1");
        QTest::addColumn<bool>("option2");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("output");
        QTest::newRow("beside the source") << "/b/Vol.1.epub" << false << true << "/x/"
                                           << "/b/Vol.1.mobi";
        QTest::newRow("folder with slash") << "/b/Vol.1.epub" << true << false << "/out/"
                                           << "/out/Vol.1.mobi";
        QTest::newRow("folder without slash") << "/b/Vol.1.epub" << true << false << "/out"
                                              << "/out/Vol.1.mobi";
        QTest::newRow("doubled separators") << "/b//c.epub" << true << false << "//out//x/"
                                            << "/out/x/c.mobi";
        QTest::newRow("root") << "/b/c.epub" << true << false << "/"
                              << "/c.mobi";
        QTest::newRow("other extension") << "/b/c.txt" << false << true << ""
                                         << "/b/c.mobi";
        QTest::newRow("dot name") << "/b/.epub" << false << true << ""
                                  << "/b/.epub.mobi";
        QTest::newRow("trailing dot") << "/b/book." << false << true << ""
                                      << "/b/book.mobi";
        QTest::newRow("no extension") << "/b/book" << false << true << ""
                                      << "/b/book.mobi";
        QTest::newRow("a mobi source") << "/b/c.mobi" << false << true << ""
                                       << "/b/c.mobi";
        QTest::newRow("neither option") << "/b/c.epub" << false << false << "/out"
                                        << "/out/c.mobi";
    }
    void outputPaths() {
        QFETCH(QString, source);
        QFETCH(bool, option1);
        QFETCH(bool, option2);
        QFETCH(QString, text1);
        QFETCH(QString, output);
        QCOMPARE(OutputPathFor(source, OutputOptions{option1, option2, text1}), output);
    }

    void destinationChecks() {
        const QString folder = Folder(QStringLiteral("dest"));
        const QString file = Book(QStringLiteral("plain.epub"), "GOOD");
        QVERIFY(DestinationIsUsable({true, false, folder}));
        QVERIFY(!DestinationIsUsable({true, false, folder + QStringLiteral("/missing")}));
        QVERIFY(!DestinationIsUsable({true, false, file}));
        QVERIFY(DestinationIsUsable({false, true, folder + QStringLiteral("/missing")}));
    }

    // The two refusals and the busy mark: their exact texts, and nothing else happens.
    void refusals() {
        Run();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].prompt, QStringLiteral("No files added."));
        QCOMPARE(m_dialogs.boxes[0].style, 0);
        QCOMPARE(m_dialogs.boxes[0].title, QStringLiteral("Brindlequill"));

        List({Book(QStringLiteral("a.epub"), "GOOD")});
        m_options.text1 = m_work.path() + QStringLiteral("/missing");
        Run();
        QCOMPARE(m_dialogs.boxes.size(), 2);
        QCOMPARE(m_dialogs.boxes[1].prompt,
                 QStringLiteral("Folder does not exist. Please select another folder."));
        QCOMPARE(m_dialogs.boxes[1].style, 0);

        QCOMPARE(m_bar.texts, QStringList());
        QCOMPARE(m_hourglass, QList<bool>());
        QCOMPARE(Calls(m_calls).size(), 0);
        QCOMPARE(TempEntries(), QStringList());
    }

    // Every book converted: "Done." exactly, the display at each step, outputs next to their
    // sources, the converter told a temporary ".mobi" name beside the output.
    void allConvertedSaysDone() {
        const QString a = Book(QStringLiteral("a.epub"), "GOOD");
        const QString b = Book(QStringLiteral("Vol.2.epub"), "GOOD");
        m_options = OutputOptions{false, true, m_work.path() + QStringLiteral("/missing")};
        List({a, b});
        const auto run = Run();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].prompt, QStringLiteral("Done."));
        QCOMPARE(m_dialogs.boxes[0].style, 0);
        QCOMPARE(Content(m_work.path() + QStringLiteral("/books/a.mobi")), m_sample);
        QCOMPARE(Content(m_work.path() + QStringLiteral("/books/Vol.2.mobi")), m_sample);
        QCOMPARE(m_bar.texts.first(), QStringLiteral("Preparing.."));
        QVERIFY(m_bar.texts.contains(QStringLiteral("Processing: a.epub")));
        QVERIFY(m_bar.texts.indexOf(QStringLiteral("Processing: Vol.2.epub")) >
                m_bar.texts.indexOf(QStringLiteral("Processing: a.epub")));
        QVERIFY(m_bar.values.contains(50.0) && m_bar.values.contains(100.0));
        const auto calls = Calls(m_calls);
        QCOMPARE(calls.size(), 2);
        for (const QStringList& call : calls) {
            QCOMPARE(QFileInfo(call[1]).path(), m_work.path() + QStringLiteral("/books"));
            QVERIFY2(QFileInfo(call[1]).fileName().startsWith(QStringLiteral(".brindlequill-")) &&
                         call[1].endsWith(QStringLiteral(".mobi")),
                     qPrintable(call[1]));
            // The converters' own temporary files stay inside the run folder.
            QVERIFY(call[2].startsWith(run->RunFolder() + QLatin1Char('/')));
        }
        QVERIFY(run->RunFolder().startsWith(Temp() + QStringLiteral("/calibre-")));
        QFileInfo out(m_work.path() + QStringLiteral("/books/a.mobi"));
        QCOMPARE(out.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadOwner),
                 QFileDevice::ReadOther | QFileDevice::ReadOwner);
        CheckIdleAfterRun();
    }

    // Failures are detected and named in list order with their reasons; the good books convert;
    // an old output of a failed book stays; two entries with one output: the later fails and the
    // earlier's result stays.
    void mixedBatch() {
        const QString out = m_options.text1;
        Write(out + QStringLiteral("/b.mobi"), "OLD");
        QDir().mkpath(m_work.path() + QStringLiteral("/books/dir.epub"));
        const QStringList sources{
            Book(QStringLiteral("a.epub"), "GOOD"),
            Book(QStringLiteral("b.epub"),
                 "FAIL " + QFile::encodeName(m_work.path()) +
                     "/books/b.epub is not a valid EPUB file (could not find opf)"),
            Book(QStringLiteral("c.epub"), "DRM"),
            m_work.path() + QStringLiteral("/books/missing.epub"),
            Book(QStringLiteral("d.epub"), "NOTHING"),
            Book(QStringLiteral("e.epub"), "GARBAGE"),
            Book(QStringLiteral("f.epub"), "KILL"),
            m_work.path() + QStringLiteral("/books/dir.epub"),
            Book(QStringLiteral("sub/a.epub"), "GOOD"),
            Book(QStringLiteral("It's \"q\" \\ été\nline.epub"), "GOOD"),
        };
        List(sources);
        const auto run = Run();

        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].style, 48);
        const QString prompt = m_dialogs.boxes[0].prompt;
        QVERIFY2(prompt.startsWith(QStringLiteral(
                     "Converted 2 of 10 books. 8 books were not converted. See below.")),
                 qPrintable(prompt));
        const QStringList reasons{
            sources[1] + QStringLiteral("\r\n    it is not a valid EPUB file (could not find opf)"),
            sources[2] + QStringLiteral("\r\n    it is protected by DRM"),
            sources[3] + QStringLiteral("\r\n    the file no longer exists"),
            sources[4] + QStringLiteral("\r\n    the converter made no MOBI file"),
            sources[5] + QStringLiteral("\r\n    the MOBI file made is damaged"),
            sources[6] + QStringLiteral("\r\n    the converter was killed"),
            sources[7] + QStringLiteral("\r\n    it is a folder, not a file"),
            sources[8] + QStringLiteral("\r\n    its result ") + out +
                QStringLiteral("/a.mobi would replace the one just made from ") + sources[0],
        };
        qsizetype at = 0;
        for (const QString& reason : reasons) {
            const qsizetype found = prompt.indexOf(reason, at);
            QVERIFY2(found >= 0, qPrintable(reason + QStringLiteral("\n---\n") + prompt));
            at = found;
        }
        QCOMPARE(Content(out + QStringLiteral("/a.mobi")), m_sample);
        QCOMPARE(Content(out + QStringLiteral("/It's \"q\" \\ été\nline.mobi")), m_sample);
        QCOMPARE(Content(out + QStringLiteral("/b.mobi")), QByteArray("OLD"));
        QStringList made = QDir(out).entryList(QDir::Files | QDir::Hidden);
        made.sort();
        QCOMPARE(made, (QStringList{QStringLiteral("It's \"q\" \\ été\nline.mobi"),
                                    QStringLiteral("a.mobi"), QStringLiteral("b.mobi")}));
        QCOMPARE(Calls(m_calls).size(), 8);  // not for the missing file nor the folder
        QCOMPARE(run->Summary().converted(), 2);
        CheckIdleAfterRun();
    }

    // A converter that exits with 128 + a signal's number by itself was not ended by that
    // signal: its log says why it stopped. One that a signal ended is named as such.
    void exitStatusesThatLookLikeSignals() {
        const QString byItself = Book(QStringLiteral("a.epub"), "EXIT 137 out of patience");
        const QString killed = Book(QStringLiteral("b.epub"), "KILL");
        List({byItself, killed});
        Run();
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.contains(byItself + QStringLiteral("\r\n    out of patience")) &&
                     prompt.contains(killed + QStringLiteral("\r\n    the converter was killed")),
                 qPrintable(prompt));
        CheckIdleAfterRun();
    }

    // A source that would be its own output is never touched, nor another listed source.
    void selfOutputIsSkipped() {
        const QString mobi = Book(QStringLiteral("own.mobi"), "GOOD");
        const QString epub = Book(QStringLiteral("other.epub"), "GOOD");
        const QString listed = Book(QStringLiteral("other.mobi"), "GOOD");
        m_options = OutputOptions{false, true, QString()};
        List({mobi, epub, listed});
        Run();
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.contains(QStringLiteral("Skipped, because the result would replace the "
                                                "book itself")) &&
                     prompt.contains(mobi) &&
                     prompt.contains(epub + QStringLiteral("\r\n    its result ") + listed +
                                     QStringLiteral(" would replace another file of the list")),
                 qPrintable(prompt));
        QCOMPARE(Content(mobi), QByteArray("GOOD\n"));
        QCOMPARE(Content(listed), QByteArray("GOOD\n"));
        QCOMPARE(Calls(m_calls).size(), 0);
        CheckIdleAfterRun();
    }

    // As an unprivileged user: a read-only old output is replaced; an output folder that cannot
    // be written is reported per file; a TEMP that cannot be written stops the run at once.
    void unprivilegedCases() {
        if (::geteuid() != 0) {
            QSKIP("becoming the unprivileged user needs root");
        }
        const QString world = Folder(QStringLiteral("world"));
        const QString out = Folder(QStringLiteral("world/out"));
        const QString locked = Folder(QStringLiteral("world/locked"));
        const QString temp = Folder(QStringLiteral("world/temp"));
        const QString source = Book(QStringLiteral("nobody.epub"), "GOOD");
        Write(out + QStringLiteral("/nobody.mobi"), "OLD");
        QVERIFY(QFile::setPermissions(out + QStringLiteral("/nobody.mobi"),
                                      QFileDevice::ReadOwner | QFileDevice::ReadOther));
        QCOMPARE(::chown(QFile::encodeName(out).constData(), 65534, 65534), 0);
        QCOMPARE(::chown(QFile::encodeName(temp).constData(), 65534, 65534), 0);
        const QByteArray savedTemp = qgetenv("TEMP");
        const auto restoreTemp = qScopeGuard([&] { qputenv("TEMP", savedTemp); });
        qputenv("TEMP", QFile::encodeName(temp));
        List({source});
        {
            AsNobody nobody;
            QVERIFY(nobody.ok());
            m_options.text1 = out;
            Run();
            m_options.text1 = locked;
            Run();
            qputenv("TEMP", QFile::encodeName(locked));
            Run();
        }
        QCOMPARE(m_dialogs.boxes.size(), 3);
        QCOMPARE(m_dialogs.boxes[0].prompt, QStringLiteral("Done."));
        QCOMPARE(Content(out + QStringLiteral("/nobody.mobi")), m_sample);
        QCOMPARE(QFileInfo(out + QStringLiteral("/nobody.mobi")).ownerId(), 65534u);
        QVERIFY2(m_dialogs.boxes[1].prompt.contains(
                     source + QStringLiteral("\r\n    the output folder ") + locked +
                     QStringLiteral(" cannot be written (Permission denied)")),
                 qPrintable(m_dialogs.boxes[1].prompt));
        QVERIFY2(m_dialogs.boxes[2].prompt.startsWith(
                     QStringLiteral("The converter could not be prepared, so nothing was "
                                    "converted.\r\n\r\nThe temporary folder ") +
                     locked + QStringLiteral(" (TEMP) cannot be written (Permission denied).")),
                 qPrintable(m_dialogs.boxes[2].prompt));
        QCOMPARE(Calls(m_calls).size(), 1);
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QDir(world).removeRecursively();
    }

    // What others keep in TEMP under names like the program's, the user's own or another
    // user's, is never used, removed or refused: the run converts, and every entry is still
    // there as it was, the folder without a marker too.
    void othersFilesInTempStay_data() {
        QTest::addColumn<bool>("foreign");
        QTest::newRow("the user's") << false;
        QTest::newRow("another user's") << true;
    }
    void othersFilesInTempStay() {
        QFETCH(bool, foreign);
        Write(Temp() + QStringLiteral("/calibre/ebook-convert"), "#!/bin/sh\nexit 0\n");
        Write(Temp() + QStringLiteral("/calibre.zip"), m_archive);  // the carried archive's bytes
        Write(Temp() + QStringLiteral("/calibre-master/README"), "a download");
        const QString unmarked = Temp() + QStringLiteral("/calibre-Ab3dEf");
        Write(unmarked + QStringLiteral("/calibre/ebook-convert"), "old");
        QVERIFY(QFile::setPermissions(
            unmarked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QStringList planted = TempEntries();
        QCOMPARE(planted.size(), 4);
        for (const QString& name : foreign ? planted : QStringList()) {
            QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                                       {QStringLiteral("-R"), QStringLiteral("65534:65534"),
                                        Temp() + QLatin1Char('/') + name}),
                     0);
        }
        const auto before = FolderSnapshot(Temp());
        List({Book(QStringLiteral("a.epub"), "GOOD")});
        const auto run = Run();
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
        QCOMPARE(Calls(m_calls).size(), 1);
        QCOMPARE(Content(m_options.text1 + QStringLiteral("/a.mobi")), m_sample);
        QVERIFY(!planted.contains(QFileInfo(run->RunFolder()).fileName()));
        QCOMPARE(TempEntries(), planted);
        QVERIFY(FolderSnapshot(Temp()) == before);
        QCOMPARE(QFileInfo(Temp() + QStringLiteral("/calibre")).ownerId(),
                 foreign ? 65534u : ::geteuid());
    }

    // Of the folders that look like run folders, only a run folder of this user whose run has
    // ended goes: one that is locked, open to others, another user's, whose marker is no file
    // of this user, or a link to an ended one stays.
    void endedRunFolders() {
        const QString marker = QLatin1Char('/') + RunFolder::RunMarkerName();
        const auto makeRunFolder = [&marker](const QString& name, mode_t mode, bool marked = true) {
            const QString folder = Temp() + QLatin1Char('/') + name;
            Write(folder + QStringLiteral("/calibre/ebook-convert"), "old");
            if (marked) {
                Write(folder + marker, "pid 1\n");
            }
            return ::chmod(QFile::encodeName(folder).constData(), mode) == 0 ? folder : QString();
        };
        const auto giveToNobody = [](const QString& path) {
            return ::lchown(QFile::encodeName(path).constData(), 65534, 65534) == 0;
        };
        const QString ended = makeRunFolder(QStringLiteral("calibre-Ended1"), 0700);
        const QString locked = makeRunFolder(QStringLiteral("calibre-Locked"), 0700);
        QVERIFY(!makeRunFolder(QStringLiteral("calibre-Open55"), 0755).isEmpty());
        QVERIFY(giveToNobody(makeRunFolder(QStringLiteral("calibre-Nobody"), 0700)));
        QVERIFY(giveToNobody(makeRunFolder(QStringLiteral("calibre-NbMark"), 0700) + marker));
        const QString linkedMarker = makeRunFolder(QStringLiteral("calibre-LnMark"), 0700, false);
        Write(m_work.path() + QStringLiteral("/marker"), "pid 1\n");
        QVERIFY(QFile::link(m_work.path() + QStringLiteral("/marker"), linkedMarker + marker));
        const QString outside = m_work.path() + QStringLiteral("/outside-run");
        QDir(outside).removeRecursively();
        Write(outside + marker, "pid 1\n");
        Write(outside + QStringLiteral("/precious"), "keep me");
        QVERIFY(QFile::setPermissions(
            outside, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(QFile::link(outside, Temp() + QStringLiteral("/calibre-Linked")));
        QVERIFY(!ended.isEmpty() && !locked.isEmpty());

        // A run that is still going holds its folder's lock.
        const int lock =
            ::open(QFile::encodeName(locked).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(lock >= 0);
        QCOMPARE(::flock(lock, LOCK_EX | LOCK_NB), 0);
        auto unlock = qScopeGuard([lock] { ::close(lock); });

        QStringList staying = TempEntries();
        staying.removeOne(QFileInfo(ended).fileName());
        auto before = FolderSnapshot(Temp());
        std::erase_if(before, [&](const auto& entry) {
            return entry.first.startsWith(QFileInfo(ended).fileName());
        });
        List({Book(QStringLiteral("a.epub"), "GOOD")});
        Run();
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
        QCOMPARE(TempEntries(), staying);
        QVERIFY(FolderSnapshot(Temp()) == before);
        QCOMPARE(Content(outside + QStringLiteral("/precious")), QByteArray("keep me"));

        // Once its run ends, the locked one goes too, and nothing else.
        unlock.dismiss();
        ::close(lock);
        QCOMPARE(RunFolder::RemoveEndedRunFolders(Temp()), 1);
        staying.removeOne(QFileInfo(locked).fileName());
        QCOMPARE(TempEntries(), staying);
        QCOMPARE(RunFolder::RemoveEndedRunFolders(Temp()), 0);
    }

    // A provisioning that fails says once what failed and what to do, and converts nothing.
    void failedProvisioning_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing TEMP") << "missing"
                                      << "(TEMP) does not exist. Create it";
        QTest::newRow("broken archive") << "broken"
                                        << "The converter could not be unpacked into ";
        QTest::newRow("failed write") << "full"
                                      << "The converter could not be written to ";
        QTest::newRow("no converter in it") << "empty"
                                            << "is missing after unpacking";
    }
    void failedProvisioning() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QByteArray savedTemp = qgetenv("TEMP");
        rlimit savedLimit{};
        ::getrlimit(RLIMIT_FSIZE, &savedLimit);
        if (kind == QLatin1String("missing")) {
            qputenv("TEMP", QFile::encodeName(m_work.path() + QStringLiteral("/no/such")));
        } else if (kind == QLatin1String("broken")) {
            m_archiveSource = [] { return QByteArray(4096, 'x'); };
        } else if (kind == QLatin1String("full")) {
            // The file-size limit stands in for a full disk: the write fails part-way.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{static_cast<rlim_t>(m_archive.size() / 2), savedLimit.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &small);
        } else if (kind == QLatin1String("empty")) {
            const QString folder = Folder(QStringLiteral("empty"));
            Write(folder + QStringLiteral("/readme.txt"), "no converter here");
            QProcess zip;
            zip.setWorkingDirectory(folder);
            zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("e.zip"),
                                              QStringLiteral("readme.txt")});
            QVERIFY(zip.waitForFinished(30000));
            const QByteArray bytes = Content(folder + QStringLiteral("/e.zip"));
            m_archiveSource = [bytes] { return bytes; };
        }
        List({Book(QStringLiteral("a.epub"), "GOOD")});
        Run();
        ::setrlimit(RLIMIT_FSIZE, &savedLimit);
        qputenv("TEMP", savedTemp);
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("The converter could not be prepared, so "
                                                  "nothing was converted.\r\n\r\n")) &&
                     prompt.contains(message) &&
                     prompt.contains(QStringLiteral("then start again")),
                 qPrintable(prompt));
        QCOMPARE(Calls(m_calls).size(), 0);
        QCOMPARE(QDir(m_options.text1).entryList(QDir::Files | QDir::Hidden), QStringList());
        CheckIdleAfterRun();
    }

    // Two programs converting at once each have a runtime of their own; removing one leaves
    // the other whole, and a running one's folder is never taken for an ended one.
    void twoRunsAtOnce() {
        ConverterRuntime first;
        ConverterRuntime second;
        for (ConverterRuntime* runtime : {&first, &second}) {
            runtime->Prepare();
            runtime->PlaceArchive(m_archive);
            runtime->Unpack();
            runtime->RemoveArchive();
        }
        QVERIFY(first.RunFolder() != second.RunFolder());
        for (ConverterRuntime* runtime : {&first, &second}) {
            struct stat st {};
            QCOMPARE(::lstat(QFile::encodeName(runtime->RunFolder()).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, 0700u);
            const QString marker =
                runtime->RunFolder() + QLatin1Char('/') + RunFolder::RunMarkerName();
            QVERIFY(QFileInfo(marker).isFile() && !QFileInfo(marker).isSymLink());
        }
        QCOMPARE(RunFolder::RemoveEndedRunFolders(Temp()), 0);
        first.Remove();
        QVERIFY(!QFileInfo::exists(first.RunFolder()));
        QVERIFY(QFileInfo(second.ConverterPath()).isExecutable());
        second.Remove();
        QCOMPARE(TempEntries(), QStringList());
    }

    // TEMP on a file system mounted noexec: the run folder goes to the user's runtime folder,
    // or else to the program's folder in the user's cache, and the book converts from there;
    // with nowhere to run the converter from, the run stops at once naming every folder tried.
    void noexecTemp_data() {
        QTest::addColumn<QString>("instead");
        QTest::newRow("the runtime folder") << "runtime";
        QTest::newRow("the cache") << "cache";
        QTest::newRow("nowhere") << "";
    }
    void noexecTemp() {
        QFETCH(QString, instead);
        if (::geteuid() != 0) {
            QSKIP("mounting a noexec file system needs root");
        }
        const QString mount = Folder(QStringLiteral("noexec"));
        if (QProcess::execute(
                QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                 QStringLiteral("noexec,size=64m"), QStringLiteral("tmpfs"), mount}) != 0) {
            QSKIP("no tmpfs can be mounted here");
        }
        const auto unmount = qScopeGuard([&] {
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), mount});
        });
        std::vector<std::pair<const char*, QByteArray>> saved;
        for (const char* name : {"TEMP", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"}) {
            saved.emplace_back(name, qgetenv(name));
        }
        const auto restore = qScopeGuard([&] {
            for (const auto& [name, value] : saved) {
                qputenv(name, value);
            }
        });
        const QString runtime =
            instead == QLatin1String("runtime") ? Folder(QStringLiteral("runtime")) : mount;
        const QString cache = instead == QLatin1String("cache") ? Folder(QStringLiteral("cache"))
                                                                : mount + QStringLiteral("/cache");
        QVERIFY(QDir().mkpath(mount + QStringLiteral("/temp")));
        qputenv("TEMP", QFile::encodeName(mount + QStringLiteral("/temp")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
        if (instead == QLatin1String("cache")) {
            qunsetenv("XDG_RUNTIME_DIR");
        }
        List({Book(QStringLiteral("a.epub"), "GOOD")});
        const auto run = Run();

        if (instead.isEmpty()) {
            const QString prompt = OnlyPrompt();
            for (const QString& named :
                 {QStringLiteral("The converter needs a folder that allows running programs"),
                  mount + QStringLiteral("/temp (TEMP): does not allow running programs"),
                  runtime + QStringLiteral(" (XDG_RUNTIME_DIR): does not allow running programs"),
                  cache + QStringLiteral("/brindlequill: does not allow running programs")}) {
                QVERIFY2(prompt.contains(named), qPrintable(prompt));
            }
            QCOMPARE(Calls(m_calls).size(), 0);
            CheckIdleAfterRun();
            return;
        }
        const QString base =
            instead == QLatin1String("runtime") ? runtime : cache + QStringLiteral("/brindlequill");
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
        QCOMPARE(Content(m_options.text1 + QStringLiteral("/a.mobi")), m_sample);
        QVERIFY2(run->RunFolder().startsWith(base + QStringLiteral("/calibre-")),
                 qPrintable(run->RunFolder()));
        const auto calls = Calls(m_calls);
        QCOMPARE(calls.size(), 1);
        QVERIFY(calls[0][2].startsWith(run->RunFolder() + QLatin1Char('/')));
        QCOMPARE(QDir(base).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        if (instead == QLatin1String("cache")) {
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(base).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0700u);  // made private
        }
        CheckIdleAfterRun();
    }

    // The converter's logs of the books not converted are kept, one folder per run, of the last
    // 20 runs only: of 500 old runs' folders the oldest go, and what is not provably the
    // program's (a link, a file, another name, a folder holding a folder, another user's) stays.
    // Books that converted leave no log. The box names the folder and offers to open it.
    void keptLogs() {
        const QString state = Folder(QStringLiteral("state"));
        const auto restore = qScopeGuard([] { qunsetenv("XDG_STATE_HOME"); });
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        const QString logs = state + QStringLiteral("/brindlequill/logs");
        QCOMPARE(LogsFolder(), logs);
        QStringList oldRuns;
        const QDateTime first(QDate(2020, 1, 1), QTime(0, 0));
        for (int i = 0; i < 500; ++i) {
            oldRuns << first.addSecs(i * 60).toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
            Write(logs + QLatin1Char('/') + oldRuns.back() + QStringLiteral("/0001 a.epub.log"),
                  "old");
        }
        const QString outside = Folder(QStringLiteral("outside"));
        Write(outside + QStringLiteral("/precious"), "keep me");
        QVERIFY(QFile::link(outside, logs + QStringLiteral("/2019-01-01_00-00-00")));
        Write(logs + QStringLiteral("/2019-01-01_00-00-01"), "a file");
        Write(logs + QStringLiteral("/2019-01-01_00-00-02/inside/f"), "a folder in it");
        Write(logs + QStringLiteral("/notes/n.txt"), "the user's");
        QStringList foreign{QStringLiteral("2019-01-01_00-00-00"),
                            QStringLiteral("2019-01-01_00-00-01"),
                            QStringLiteral("2019-01-01_00-00-02"), QStringLiteral("notes")};
        if (::geteuid() == 0) {
            Write(logs + QStringLiteral("/2019-01-01_00-00-03/f"), "another user's");
            QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                                       {QStringLiteral("-R"), QStringLiteral("65534:65534"),
                                        logs + QStringLiteral("/2019-01-01_00-00-03")}),
                     0);
            foreign << QStringLiteral("2019-01-01_00-00-03");
        }

        const QString good = Book(QStringLiteral("good.epub"), "GOOD");
        const QString failing = Book(QStringLiteral("failing.epub"), "FAIL the book is broken");
        const QString drm = Book(QStringLiteral("drm.epub"), "DRM");
        List({good, failing, drm, m_work.path() + QStringLiteral("/books/missing.epub")});
        m_dialogs.openLogFolder = true;
        const auto run = Run();
        QCOMPARE(m_dialogs.logFolders.size(), 1);
        const QString kept = m_dialogs.logFolders[0];
        QCOMPARE(run->Summary().logFolder(), kept);
        QCOMPARE(QFileInfo(kept).path(), logs);
        QVERIFY2(OnlyPrompt().endsWith(QStringLiteral("The converter's own messages about the "
                                                      "books not converted are kept in:\r\n") +
                                       kept),
                 qPrintable(OnlyPrompt()));
        QCOMPARE(m_dialogs.openedFolders, QStringList{kept});
        QCOMPARE(QDir(kept).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("0002 failing.epub.log"),
                              QStringLiteral("0003 drm.epub.log")}));
        const QByteArray log = Content(kept + QStringLiteral("/0002 failing.epub.log"));
        QVERIFY2(log.startsWith("Book: " + QFile::encodeName(failing) +
                                "\nNot converted: the book is broken\n") &&
                     log.contains("\nValueError: the book is broken\n"),
                 log.constData());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(kept).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);

        QStringList expected = foreign + oldRuns.mid(500 - 19);
        expected << QFileInfo(kept).fileName();
        expected.sort();
        QStringList entries = QDir(logs).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot);
        entries.sort();
        QCOMPARE(entries, expected);
        QCOMPARE(Content(outside + QStringLiteral("/precious")), QByteArray("keep me"));
        CheckIdleAfterRun();

        // A run whose books all convert keeps no log and takes no folder away.
        m_dialogs = ScriptedDialogs();
        m_list.clear();
        List({good});
        Run();
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
        entries = QDir(logs).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                       QDir::NoDotAndDotDot);
        entries.sort();
        QCOMPARE(entries, expected);
    }

    // Where the logs cannot be kept (XDG_STATE_HOME a file, or a folder the user may not write),
    // the run converts as before, its box is the one it would be without them, and one line in
    // the program's log says why.
    void logsThatCannotBeKept_data() {
        QTest::addColumn<bool>("file");
        QTest::newRow("a file") << true;
        QTest::newRow("an unwritable folder") << false;
    }
    void logsThatCannotBeKept() {
        QFETCH(bool, file);
        if (!file && ::geteuid() != 0) {
            QSKIP("becoming the unprivileged user needs root");
        }
        const QString state = m_work.path() + QStringLiteral("/state-") +
                              QString::fromLatin1(file ? "file" : "locked");
        file ? Write(state, "not a folder") : void(Folder(QFileInfo(state).fileName()));
        const QString temp = Folder(QStringLiteral("nobody-temp"));
        const QString out = Folder(QStringLiteral("nobody-out"));
        for (const QString& folder : {temp, out}) {
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        }
        const QByteArray savedTemp = qgetenv("TEMP");
        const auto restore = qScopeGuard([&] {
            qputenv("TEMP", savedTemp);
            qunsetenv("XDG_STATE_HOME");
        });
        qputenv("TEMP", QFile::encodeName(temp));
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        m_options.text1 = out;
        List({Book(QStringLiteral("good.epub"), "GOOD"),
              Book(QStringLiteral("failing.epub"), "FAIL the book is broken")});
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(
                QStringLiteral("^The converter's logs of the books not converted could not be "
                               "kept in %1/brindlequill/logs - ")
                    .arg(QRegularExpression::escape(state))));
        if (file) {
            Run();
        } else {
            AsNobody nobody;
            QVERIFY(nobody.ok());
            Run();
        }
        QCOMPARE(m_dialogs.logFolders, QStringList());
        QVERIFY2(OnlyPrompt().startsWith(QStringLiteral("Converted 1 of 2 books.")) &&
                     OnlyPrompt().endsWith(
                         QStringLiteral("Check or replace the books named, then convert them "
                                        "again.")),
                 qPrintable(OnlyPrompt()));
        QCOMPARE(Content(out + QStringLiteral("/good.mobi")), m_sample);
        QVERIFY(!QFileInfo::exists(state + QStringLiteral("/brindlequill")));
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // No book can hang or swamp a batch: one past the time limit (deaf to SIGTERM too) and one
    // past the memory limit fail alone with plain reasons, one that leaves a process behind
    // converts, the batch goes on, and nothing any of them started is left running.
    void limits() {
        // The time limit alone first, so that a slow machine cannot make the memory case late.
        m_setup.timeLimit = std::chrono::seconds(2);
        List(
            {Book(QStringLiteral("slow.epub"), "DEAF"), Book(QStringLiteral("good.epub"), "GOOD")});
        Run();
        QVERIFY2(OnlyPrompt().contains(
                     QStringLiteral("slow.epub\r\n    took longer than 2 seconds and was stopped")),
                 qPrintable(OnlyPrompt()));
        QVERIFY(QFileInfo::exists(m_options.text1 + QStringLiteral("/good.mobi")));
        for (const QStringList& call : Calls(m_calls)) {
            QTRY_COMPARE(LiveMembersOfGroup(call[0].toInt()), 0);  // killed, dying
        }

        init();
        m_setup.memoryBudget = std::uint64_t{256} << 20;
        List({Book(QStringLiteral("big.epub"), "HOG"),
              Book(QStringLiteral("orphan.epub"), "ORPHAN"),
              Book(QStringLiteral("good.epub"), "GOOD")});
        Run();
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 2 of 3 books.")), qPrintable(prompt));
        QVERIFY2(prompt.contains(QStringLiteral(
                     "big.epub\r\n    needed more than 256 MB of memory and was stopped")),
                 qPrintable(prompt));
        QVERIFY(QFileInfo::exists(m_options.text1 + QStringLiteral("/good.mobi")));
        QVERIFY(QFileInfo::exists(m_options.text1 + QStringLiteral("/orphan.mobi")));
        for (const QStringList& call : Calls(m_calls)) {
            QTRY_COMPARE(LiveMembersOfGroup(call[0].toInt()), 0);  // killed, dying
        }
        CheckIdleAfterRun();
    }

    // A book that needs more memory than its share of the budget converts again alone, under the
    // whole budget, into the same place (a kept library folder); one that needs more than the
    // whole budget fails alone too, and its reason names the budget. The others convert.
    void memoryBudget() {
        m_setup.converters = 2;
        m_setup.memoryBudget = std::uint64_t{512} << 20;  // 256 MB each
        m_setup.keepFolders = true;
        m_roots = {m_work.path() + QStringLiteral("/books")};
        List({Book(QStringLiteral("Shelf/needs-300.epub"), "TAKE 300"),
              Book(QStringLiteral("a.epub"), "SLEEP 1"),
              Book(QStringLiteral("needs-700.epub"), "TAKE 700"),
              Book(QStringLiteral("b.epub"), "GOOD")});
        Run();
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 3 of 4 books.")), qPrintable(prompt));
        QVERIFY2(prompt.contains(QStringLiteral(
                     "needs-700.epub\r\n    needed more than 512 MB of memory and was stopped")),
                 qPrintable(prompt));
        QCOMPARE(Content(m_options.text1 + QStringLiteral("/Shelf/needs-300.mobi")), m_sample);
        for (const char* name : {"a", "b"}) {
            QCOMPARE(Content(m_options.text1 + QLatin1Char('/') + QLatin1String(name) +
                             QStringLiteral(".mobi")),
                     m_sample);
        }
        // Both big books failed under their share and converted again under the whole budget.
        QVERIFY2(Calls(m_calls).size() >= 6, qPrintable(QString::number(Calls(m_calls).size())));
        CheckIdleAfterRun();
    }

    // The "BookTimeLimit" setting: whole seconds from 30 to 86400, anything else ignored; and the
    // limits as the reasons say them.
    void bookLimitTexts() {
        QCOMPARE(BookTimeLimitFromText(QStringLiteral(" 30 ")).value_or(0), 30);
        QCOMPARE(BookTimeLimitFromText(QStringLiteral("86400")).value_or(0), 86400);
        for (const char* text : {"29", "86401", "1e3", "-60", "60s", "", "600000"}) {
            QVERIFY2(!BookTimeLimitFromText(QString::fromLatin1(text)), text);
        }
        SaveSetting(Setting::BookTimeLimit, QStringLiteral("45"));
        QCOMPARE(BookTimeLimit(), std::chrono::milliseconds(45000));
        SaveSetting(Setting::BookTimeLimit, QStringLiteral("a while"));
        QCOMPARE(BookTimeLimit(), std::chrono::milliseconds(1800000));
        SaveSetting(Setting::BookTimeLimit, QString());
        QCOMPARE(DurationText(std::chrono::minutes(30)), QStringLiteral("30 minutes"));
        QCOMPARE(DurationText(std::chrono::hours(1)), QStringLiteral("1 hour"));
        QCOMPARE(DurationText(std::chrono::seconds(90)), QStringLiteral("90 seconds"));
        QCOMPARE(MemoryText(std::uint64_t{3} << 30), QStringLiteral("3 GB"));
        QCOMPARE(MemoryText(std::uint64_t{3} << 29), QStringLiteral("1.5 GB"));
        QCOMPARE(MemoryText(std::uint64_t{256} << 20), QStringLiteral("256 MB"));
        const std::uint64_t gib = std::uint64_t{1} << 30;
        QCOMPARE(BookMemoryLimit(4 * gib, 4), gib);
        QCOMPARE(BookMemoryLimit(gib / 2, 2), gib / 4);
        QCOMPARE(BookMemoryLimit(4 * gib, 64), kLeastMemoryBudget);  // never less
        QCOMPARE(MemorySizeFromText(QStringLiteral(" 4G ")).value_or(0), 4 * gib);
        QCOMPARE(MemorySizeFromText(QStringLiteral("4096M")).value_or(0), 4 * gib);
        QCOMPARE(MemorySizeFromText(QStringLiteral("4gib")).value_or(0), 4 * gib);
        QCOMPARE(MemorySizeFromText(QStringLiteral("268435456")).value_or(0), gib / 4);
        for (const char* text : {"255M", "4 G", "-4G", "4.5G", "G", "", "99999999999999999T"}) {
            QVERIFY2(!MemorySizeFromText(QString::fromLatin1(text)), text);
        }
        SaveSetting(Setting::MemoryBudget, QStringLiteral("3G"));
        QCOMPARE(MemoryBudget(), 3 * gib);
        SaveSetting(Setting::MemoryBudget, QStringLiteral("lots"));
        QCOMPARE(MemoryBudget(), DefaultMemoryBudget());
        SaveSetting(Setting::MemoryBudget, QString());
    }

    // Stop: running converters end and leave nothing; the books already converted, those
    // converted ahead too, are put in place; the box says how many were not converted because
    // the run was stopped.
    void stopKeepsWhatWasConverted_data() {
        QTest::addColumn<int>("converters");
        QTest::addColumn<bool>("closing");
        QTest::addColumn<QStringList>("kept");
        const QStringList three{QStringLiteral("a.mobi"), QStringLiteral("c.mobi"),
                                QStringLiteral("d.mobi")};
        QTest::newRow("one at a time") << 1 << false << QStringList{QStringLiteral("a.mobi")};
        QTest::newRow("three at once") << 3 << false << three;
        QTest::newRow("three at once, the window closing") << 3 << true << three;
    }
    void stopKeepsWhatWasConverted() {
        QFETCH(int, converters);
        QFETCH(bool, closing);
        QFETCH(QStringList, kept);
        m_setup.converters = converters;
        const QString out = m_options.text1;
        List({Book(QStringLiteral("a.epub"), "GOOD"), Book(QStringLiteral("b.epub"), "SLEEP 60"),
              Book(QStringLiteral("c.epub"), "GOOD"), Book(QStringLiteral("d.epub"), "GOOD"),
              Book(QStringLiteral("e.epub"), "SLEEP 60")});
        // Stop once the last converter to be started runs and every GOOD book's converter has
        // ended (the SLEEP ones still run).
        const qsizetype started = converters == 1 ? 2 : 5;
        const auto finished = [&] {
            int ended = 0;
            for (const QStringList& call : Calls(m_calls)) {
                ended += LiveMembersOfGroup(call[0].toInt()) == 0 ? 1 : 0;
            }
            return ended;
        };
        QTimer watch;
        watch.setInterval(20);
        const auto run = Run([&](ConversionRun& running) {
            connect(&watch, &QTimer::timeout, this, [&] {
                if (Calls(m_calls).size() == started && finished() == kept.size()) {
                    watch.stop();
                    running.RequestStop(closing);
                }
            });
            watch.start();
        });
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System), kept);
        for (const QStringList& call : Calls(m_calls)) {
            QTRY_COMPARE(LiveMembersOfGroup(call[0].toInt()), 0);  // killed, dying
        }
        QCOMPARE(TempEntries(), QStringList());
        if (closing) {
            QCOMPARE(m_dialogs.boxes.size(), 0);
            return;
        }
        const QString prompt = OnlyPrompt();
        const int stopped = 5 - static_cast<int>(kept.size());
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted %1 of 5 books.").arg(kept.size())),
                 qPrintable(prompt));
        QVERIFY2(prompt.contains(QStringLiteral("Not converted because the run was stopped (%1 "
                                                "books; start again to convert them):")
                                     .arg(stopped)),
                 qPrintable(prompt));
        // Each book the stop left is named, in list order.
        qsizetype at = 0;
        for (const BookOutcome& outcome : m_face->outcomes) {
            if (outcome.result == BookOutcome::Result::Stopped) {
                const qsizetype found = prompt.indexOf(QStringLiteral("\r\n") + outcome.source);
                QVERIFY2(found > at, qPrintable(outcome.source));
                at = found;
            }
        }
        QCOMPARE(m_face->outcomes.size(), 5);
        CheckIdleAfterRun();
    }

    // A reader of the new MOBI that hangs: Stop ends it as it ends a converter, at once; its
    // book is one the stop left (a hanging reader proves nothing about the book), not a damaged
    // one, and the reader is gone with the run.
    void stopWithAHangingReadBack() {
        const QString started = m_work.path() + QStringLiteral("/check-started");
        QFile::remove(started);
        const QString checker = m_work.path() + QStringLiteral("/hanging-check");
        Write(checker, "#!/bin/sh\n: > '" + QFile::encodeName(started) + "'\nexec sleep 1000\n");
        QVERIFY(QFile::setPermissions(checker, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        SetMobiCheckerPath(checker);
        const auto restore = qScopeGuard([] { UseBuiltHelpers(); });
        const QString out = m_options.text1;
        List({Book(QStringLiteral("a.epub"), "GOOD"), Book(QStringLiteral("b.epub"), "GOOD")});
        QTimer watch;
        watch.setInterval(5);
        const auto run = Run([&](ConversionRun& running) {
            connect(&watch, &QTimer::timeout, this, [&] {
                if (QFileInfo::exists(started)) {
                    watch.stop();
                    running.RequestStop();
                }
            });
            watch.start();
        });
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 0 of 2 books.")), qPrintable(prompt));
        QVERIFY2(prompt.contains(QStringLiteral("Not converted because the run was stopped (2 "
                                                "books")) &&
                     !prompt.contains(QStringLiteral("damaged")),
                 qPrintable(prompt));
        QCOMPARE(run->Summary().stopped(), 2);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
        QTRY_COMPARE(QProcess::execute(QStringLiteral("pgrep"),
                                       {QStringLiteral("-f"), QStringLiteral("sleep 1000")}),
                     1);
        CheckIdleAfterRun();
    }

    // An observer that fails on an event: the failure is reported with the statement's line and
    // the run goes on to the end.
    void failingObserverLeavesTheRunGoing() {
        class Failing final : public RecordingFace {
          public:
            using RecordingFace::RecordingFace;
            void BookStarted(int, const QString&) override {
                throw RunTimeError(ErrInvalidCall, QStringLiteral("the face failed"));
            }
            void BookDone(const BookOutcome&) override { throw std::runtime_error("no"); }
        };
        const QString a = Book(QStringLiteral("a.epub"), "GOOD");
        List({a});
        Failing face(m_dialogs, m_bar, m_hourglass, m_list);
        ConversionSetup setup = m_setup;
        setup.archive = m_archiveSource;
        ConversionRun run(Request(), face, setup);
        run.Start();
        QCOMPARE(m_dialogs.boxes.size(), 2);
        QCOMPARE(m_dialogs.boxes[0].title, QStringLiteral("Application Error"));
        QVERIFY2(m_dialogs.boxes[0].prompt.startsWith(QStringLiteral(
                     "the face failed\r\nin Quorvane2021/08/31.Form1.PushButton2_Click at line "
                     "144\r\r")),
                 qPrintable(m_dialogs.boxes[0].prompt));
        QCOMPARE(m_dialogs.boxes[1].prompt, QStringLiteral("Done."));
        QCOMPARE(Content(m_options.text1 + QStringLiteral("/a.mobi")), m_sample);
        CheckIdleAfterRun();
    }

    // Stopped while the converter is being prepared: nothing converts, and the box says so
    // (not "Done.").
    void stopWhilePreparing() {
        const QString a = Book(QStringLiteral("a.epub"), "GOOD");
        const QString b = Book(QStringLiteral("b.epub"), "GOOD");
        List({a, b});
        Run([](ConversionRun& run) { run.RequestStop(); });
        QCOMPARE(OnlyPrompt(), QStringLiteral("Converted 0 of 2 books. 2 books were not "
                                              "converted. See below.\r\n\r\nNot converted "
                                              "because the run was stopped (2 books; start again "
                                              "to convert them):\r\n") +
                                   a + QStringLiteral("\r\n") + b);
        QCOMPARE(Calls(m_calls).size(), 0);
        CheckIdleAfterRun();
    }

    // The run converts the list as it stood at its start: an entry moved to the top during the
    // run is converted once, an entry added is not, and the box says so.
    void listAsItStoodAtTheStart() {
        const QString out = m_options.text1;
        List({Book(QStringLiteral("a.epub"), "GOOD"), Book(QStringLiteral("b.epub"), "SLEEP 1"),
              Book(QStringLiteral("c.epub"), "GOOD")});
        QTimer watch;
        watch.setInterval(10);
        Run([&](ConversionRun&) {
            connect(&watch, &QTimer::timeout, this, [&] {
                if (Calls(m_calls).size() == 2) {
                    watch.stop();
                    m_list.insertRow(0, m_list.takeRow(2));
                    List({Book(QStringLiteral("d.epub"), "GOOD")});
                }
            });
            watch.start();
        });
        QCOMPARE(Calls(m_calls).size(), 3);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("a.mobi"), QStringLiteral("b.mobi"),
                              QStringLiteral("c.mobi")}));
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 3 of 3 books.")) &&
                     prompt.contains(QStringLiteral("Added to the list during the run, and not "
                                                    "converted by it: 1 book. They are at "
                                                    "the end of the list.")),
                 qPrintable(prompt));
    }

    // A book estimated by the look-ahead and deleted before its converter starts fails alone,
    // named once, when its turn comes; the rest of the batch is converted.
    void sourceGoneAfterItsEstimate() {
        m_setup.converters = 2;
        const QString out = m_options.text1;
        // The spare converter takes the longest: b (the largest file), while c waits. a and b
        // end only once c is gone, so c cannot start before its removal.
        const QString c = m_work.path() + QStringLiteral("/books/c.epub");
        const QByteArray waitForC = "WAITGONE " + QFile::encodeName(c);
        const QStringList sources{
            Book(QStringLiteral("a.epub"), waitForC),
            Book(QStringLiteral("b.epub"), waitForC + ' ' + QByteArray(64, 'x')),
            Book(QStringLiteral("c.epub"), "GOOD"), Book(QStringLiteral("d.epub"), "GOOD")};
        List(sources);
        QTimer watch;
        watch.setInterval(10);
        Run([&](ConversionRun&) {
            connect(&watch, &QTimer::timeout, this, [&] {
                // Once b has started, every entry within reach has been estimated.
                if (Calls(m_calls).size() >= 2) {
                    watch.stop();
                    QFile::remove(c);
                }
            });
            watch.start();
        });
        QCOMPARE(Calls(m_calls).size(), 3);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("a.mobi"), QStringLiteral("b.mobi"),
                              QStringLiteral("d.mobi")}));
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.startsWith(QStringLiteral("Converted 3 of 4 books.")), qPrintable(prompt));
        QVERIFY2(
            prompt.count(sources[2] + QStringLiteral("\r\n    the file no longer exists")) == 1,
            qPrintable(prompt));
        CheckIdleAfterRun();
    }

    // A book converted ahead whose output folder changed before its turn is converted again,
    // into the folder its turn gives.
    void changedFolderConvertsAgain() {
        m_setup.converters = 2;
        const QString first = m_options.text1;
        const QString second = Folder(QStringLiteral("second"));
        List({Book(QStringLiteral("a.epub"), "SLEEP 1"), Book(QStringLiteral("b.epub"), "GOOD")});
        QTimer watch;
        watch.setInterval(10);
        Run([&](ConversionRun&) {
            connect(&watch, &QTimer::timeout, this, [&] {
                if (Calls(m_calls).size() == 2) {
                    watch.stop();
                    m_options.text1 = second;
                }
            });
            watch.start();
        });
        QCOMPARE(Calls(m_calls).size(), 3);
        QCOMPARE(QDir(first).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("a.mobi")});
        QCOMPARE(QDir(second).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("b.mobi")});
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
    }

    // The output folder: temporaries an ended program left are swept, one a running program
    // holds and the user's own look-alikes stay; a name too long for the folder fails before
    // any converter runs.
    void outputFolderHousekeeping() {
        const QString out = m_options.text1;
        Write(out + QStringLiteral("/.brindlequill-abc123.mobi"), "left by a killed run");
        Write(out + QStringLiteral("/.brindlequill-held00.mobi"), "a running program's");
        Write(out + QStringLiteral("/.brindlequill-notes.mobi"), "the user's");
        const int held =
            ::open(QFile::encodeName(out + QStringLiteral("/.brindlequill-held00.mobi")),
                   O_RDONLY | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        const auto release = qScopeGuard([held] { ::close(held); });
        const QString longName(252, QLatin1Char('n'));
        List({Book(longName, "GOOD"), Book(QStringLiteral("a.epub"), "GOOD")});
        Run();
        QCOMPARE(
            QDir(out).entryList(QDir::Files | QDir::Hidden),
            (QStringList{QStringLiteral(".brindlequill-held00.mobi"),
                         QStringLiteral(".brindlequill-notes.mobi"), QStringLiteral("a.mobi")}));
        QCOMPARE(Calls(m_calls).size(), 1);
        QVERIFY2(OnlyPrompt().contains(
                     QStringLiteral("is longer than the 255 bytes a file name may have")),
                 qPrintable(OnlyPrompt()));
    }

    // A nearly full output disk: each book replaces an old output, so one at a time there is
    // always room; with three converters the books converted ahead must not take that room, and
    // one that failed for want of it ahead is converted again at its turn.
    void nearlyFullDisk() {
        if (::geteuid() != 0) {
            QSKIP("mounting a small file system needs root");
        }
        const QString disk = Folder(QStringLiteral("small disk"));
        if (QProcess::execute(QStringLiteral("mount"),
                              {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                               QStringLiteral("size=48k"), QStringLiteral("tmpfs"), disk}) != 0) {
            QSKIP("a small tmpfs could not be mounted here");
        }
        const auto unmount = qScopeGuard([&disk] {
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), disk});
        });
        QStringList books;
        for (const char* name : {"a", "b", "c"}) {
            Write(disk + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".mobi"),
                  QByteArray(static_cast<int>(m_sample.size()), 'o'));
            books << Book(QLatin1String(name) + QStringLiteral(".epub"), "GOOD");
        }
        m_options.text1 = disk;
        m_setup.converters = 3;
        List(books);
        Run();
        QCOMPARE(OnlyPrompt(), QStringLiteral("Done."));
        for (const char* name : {"a", "b", "c"}) {
            QCOMPARE(
                Content(disk + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".mobi")),
                m_sample);
        }
    }

    // On a FAT stick "Dune.mobi" and "dune.mobi" are one file: the later book fails plainly and
    // the earlier stays; a name holding ":" fails before its conversion.
    void fatStick() {
        FatStick stick;
        if (!stick.skipReason().isEmpty()) {
            QSKIP(qPrintable(stick.skipReason()));
        }
        m_options.text1 = stick.path();
        List({Book(QStringLiteral("a/Dune.epub"), "GOOD"),
              Book(QStringLiteral("b/dune.epub"), "GOOD"),
              Book(QStringLiteral("Re: Dune.epub"), "GOOD")});
        Run();
        QCOMPARE(Calls(m_calls).size(), 2);
        // FUSE keeps a file removed while open as .fuse_hidden* until its release is handled.
        QTRY_COMPARE(QDir(stick.path()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("Dune.mobi")});
        QCOMPARE(Content(stick.path() + QStringLiteral("/Dune.mobi")), m_sample);
        const QString prompt = OnlyPrompt();
        QVERIFY2(prompt.contains(QStringLiteral("would be the same file as")) &&
                     prompt.contains(QStringLiteral("holds the character \":\"")),
                 qPrintable(prompt));
    }

    void failureReasons_data() {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no package document")
            << "1% Converting input to HTML...\nTraceback (most recent call last):\n  File "
               "\"/x/epub_input.py\", line 282, in convert\n    raise ValueError(...)\n    "
               "^^^^^\nValueError: /b/x.epub is not a valid EPUB file (could not find opf)\n\n"
            << "it is not a valid EPUB file (could not find opf)";
        QTest::newRow("not a zip") << "  File \"/y.py\", line 239\nValueError: Not a ZIP file\n"
                                   << "it is not a valid EPUB file (not a ZIP archive, or a "
                                      "damaged or empty one)";
        QTest::newRow("drm") << "calibre.ebooks.DRMError: x.epub"
                             << "it is protected by DRM (copy protection), which the converter "
                                "cannot open; only DRM-free books can be converted";
        QTest::newRow("plain last line") << "one\nInput file /b/x.epub has no text\n  \n"
                                         << "Input file x.epub has no text";
        QTest::newRow("other exception") << "KeyError: 'spine'"
                                         << "'spine'";
        QTest::newRow("empty") << "\n\n"
                               << "";
        QTest::newRow("long") << QString(400, QLatin1Char('z'))
                              << QString(297, QLatin1Char('z')) + QStringLiteral("...");
    }
    void failureReasons() {
        QFETCH(QString, log);
        QFETCH(QString, reason);
        QCOMPARE(ReasonFromConverterLog(log, QStringLiteral("/b/x.epub")), reason);
    }

    void exitCodeReasons() {
        QCOMPARE(ReasonFromExitCode(kStartErrorBase + 53),
                 QStringLiteral("the converter could not be started (File not found)"));
        QVERIFY(ReasonFromSignal(SIGKILL).startsWith(QStringLiteral("the converter was killed")));
        QVERIFY(ReasonFromSignal(SIGSEGV).startsWith(
            QStringLiteral("the converter was ended by signal 11")));
        QCOMPARE(ReasonFromExitCode(2), QStringLiteral("the converter stopped with exit code 2"));
        // A status of 129 and above that the converter gave itself is no signal.
        QCOMPARE(ReasonFromExitCode(137),
                 QStringLiteral("the converter stopped with exit code 137"));
        QVERIFY(ReasonFromExitCode(-1).startsWith(QStringLiteral("the converter's end could not")));
    }

    // libmobi reads the converter's MOBI whole, and nothing else.
    void mobiCheck() {
        QCOMPARE(MobiProblem(QStringLiteral(BQ_SAMPLE_MOBI)), QString());
        const QString folder = Folder(QStringLiteral("mobis"));
        Write(folder + QStringLiteral("/garbage.mobi"), QByteArray(5000, 'g'));
        Write(folder + QStringLiteral("/empty.mobi"), {});
        Write(folder + QStringLiteral("/cut.mobi"), m_sample.left(m_sample.size() / 3));
        for (const char* name : {"garbage.mobi", "empty.mobi", "cut.mobi"}) {
            QVERIFY2(!MobiProblem(folder + QLatin1Char('/') + QLatin1String(name)).isEmpty(), name);
        }
        QCOMPARE(MobiProblem(folder + QStringLiteral("/missing.mobi")),
                 QStringLiteral("the converter made no MOBI file"));
    }

    // Hundreds of failures: every one named once, in order; ten thousand books left by a stop:
    // the first twenty named in list order, then how many more.
    void summaryOfManyBooks() {
        ConversionSummary summary(502);
        summary.Converted();
        summary.Converted();
        for (int i = 0; i < 500; ++i) {
            summary.Failed(QStringLiteral("/f%1.epub").arg(i), QStringLiteral("reason %1").arg(i));
        }
        QVERIFY(!summary.AllDone());
        QCOMPARE(SummaryHeadline(summary),
                 QStringLiteral("Converted 2 of 502 books. 500 books were not converted. See "
                                "below."));
        const QString details = SummaryDetails(summary);
        QCOMPARE(details.count(QStringLiteral("\r\n    reason ")), 500);
        QVERIFY(details.indexOf(QStringLiteral("/f499.epub")) >
                details.indexOf(QStringLiteral("/f498.epub")));

        ConversionSummary stopped(10001);
        stopped.Converted();
        for (int i = 0; i < 10000; ++i) {
            stopped.NotConvertedAsStopped(QStringLiteral("/s%1.epub").arg(i));
        }
        const QString left = SummaryDetails(stopped);
        QVERIFY2(left.startsWith(QStringLiteral("Not converted because the run was stopped "
                                                "(10000 books; start again to convert them):"
                                                "\r\n/s0.epub\r\n/s1.epub\r\n")),
                 qPrintable(left.left(200)));
        QVERIFY(left.contains(QStringLiteral("\r\n/s19.epub\r\nand 9980 more")));
        QVERIFY(!left.contains(QStringLiteral("/s20.epub")));

        ConversionSummary clean(1);
        clean.Converted();
        QCOMPARE(SummaryHeadline(clean), QStringLiteral("Done."));
        QCOMPARE(SummaryDetails(clean), QString());
    }
};

BQ_TEST_MAIN(ConversionRunTest)
#include "tst_conversion_run.moc"
