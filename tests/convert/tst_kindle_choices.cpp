// The Kindle choices without the window: how the settings hold them, the converter's options
// they give (none at all by default), a joint file refused when it has no KF8 part, a library's
// folders kept below the output folder (links, files in the way, names a FAT stick cannot hold,
// two books with one output, a root gone before Start) and books already converted skipped. The
// converter is the stand-in (standin/ebook-convert), which writes a MOBI 6 sample.
#include "convert/ConversionRun.h"
#include "convert/KindleChoices.h"
#include "convert/MobiCheck.h"
#include "convert/OutputDestination.h"
#include "fs/OutputSubFolder.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/FatStick.h"
#include "support/FileContent.h"
#include "support/StandinArchive.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace bq;

namespace {

// Records what the run tells.
class Outcomes final : public RunObserver {
  public:
    void Refused(const QString& message) override { refusals << message; }
    void BookDone(const BookOutcome& outcome) override { books << outcome; }
    void ErrorReport(const QString& text) override { errors << text; }

    QStringList refusals;
    QStringList errors;
    QList<BookOutcome> books;
};

}  // namespace

class KindleChoicesTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work{QStringLiteral("/tmp/bq-kindle-choices-XXXXXX")};
    QByteArray m_archive;
    QString m_calls;

    QString Folder(const QString& name) {
        return FreshFolder(m_work.path() + QLatin1Char('/') + name);
    }
    // A book the stand-in converts into its sample MOBI.
    QString Book(const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        Write(path, "GOOD\n");
        return path;
    }
    // One run over sources (each with its root) into output (or beside each source).
    QList<BookOutcome> Run(const QStringList& sources, const QStringList& roots,
                           ConversionSetup setup, const OutputOptions& options) {
        QFile::remove(m_calls);
        Write(m_calls, {});
        RunRequest request;
        request.sources = sources;
        request.roots = roots;
        request.outputRule = [options] { return options; };
        const QByteArray archive = m_archive;
        setup.archive = [archive] { return archive; };
        setup.converters = 1;
        Outcomes outcomes;
        ConversionRun run(std::move(request), outcomes, setup);
        run.Start();
        return outcomes.books;
    }

  private slots:
    void initTestCase() {
        UseBuiltHelpers();
        QVERIFY(m_work.isValid());
        m_archive = MakeStandinArchive(m_work.path());
        QVERIFY(!m_archive.isEmpty());
        m_calls = m_work.path() + QStringLiteral("/calls.txt");
        qputenv("BQ_STANDIN_CALLS", QFile::encodeName(m_calls));
    }

    // The four keys: their defaults, what is saved, and values that name no choice.
    void settings() {
        const KindleChoices defaults = KindleChoicesFromSettings();
        QCOMPARE(defaults.format, KindleFormat::Mobi6);
        QCOMPARE(defaults.deviceProfile, QString());
        QVERIFY(!defaults.keepFolders);
        QVERIFY(!defaults.skipUpToDate);
        QCOMPARE(ConverterOptions(defaults), QStringList());

        SaveKindleChoices({KindleFormat::Joint, QStringLiteral("kindle_pw3"), true, true});
        QCOMPARE(GetSetting(Setting::KindleFormat), QStringLiteral("Joint"));
        QCOMPARE(GetSetting(Setting::DeviceProfile), QStringLiteral("kindle_pw3"));
        QCOMPARE(GetSetting(Setting::KeepFolders), QStringLiteral("True"));
        QCOMPARE(GetSetting(Setting::SkipUpToDate), QStringLiteral("True"));
        const KindleChoices saved = KindleChoicesFromSettings();
        QCOMPARE(saved.format, KindleFormat::Joint);
        QCOMPARE(saved.deviceProfile, QStringLiteral("kindle_pw3"));
        QVERIFY(saved.keepFolders && saved.skipUpToDate);
        QCOMPARE(ConverterOptions(saved),
                 QStringList({QStringLiteral("--mobi-file-type"), QStringLiteral("both"),
                              QStringLiteral("--output-profile"), QStringLiteral("kindle_pw3")}));

        // A hand-edited file: letter case is forgiven, an unknown value is noted and ignored.
        SaveSetting(Setting::KindleFormat, QStringLiteral(" joint "));
        SaveSetting(Setting::DeviceProfile, QStringLiteral("KINDLE_SCRIBE"));
        QCOMPARE(KindleChoicesFromSettings().format, KindleFormat::Joint);
        QCOMPARE(KindleChoicesFromSettings().deviceProfile, QStringLiteral("kindle_scribe"));
        SaveSetting(Setting::KindleFormat, QStringLiteral("AZW3"));
        SaveSetting(Setting::DeviceProfile, QStringLiteral("kobo"));
        SaveSetting(Setting::KeepFolders, QStringLiteral("maybe"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("KindleFormat=\"AZW3\".*MOBI6")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("DeviceProfile=\"kobo\".*default")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("KeepFolders=\"maybe\".*False")));
        const KindleChoices ignored = KindleChoicesFromSettings();
        QCOMPARE(ignored.format, KindleFormat::Mobi6);
        QCOMPARE(ignored.deviceProfile, QString());
        QVERIFY(!ignored.keepFolders);
        QVERIFY(ignored.skipUpToDate);
        SaveKindleChoices({});
    }

    void keptSubFolder_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("root");
        QTest::addColumn<bool>("oneFolder");
        QTest::addColumn<QString>("subFolder");
        QTest::addColumn<QString>("output");
        QTest::newRow("below") << "/lib/a/b/x.epub"
                               << "/lib" << true << "a/b"
                               << "/out/a/b/x.mobi";
        QTest::newRow("root with slashes") << "/lib//a/x.epub"
                                           << "/lib/" << true << "a"
                                           << "/out/a/x.mobi";
        QTest::newRow("in the root") << "/lib/x.epub"
                                     << "/lib" << true << ""
                                     << "/out/x.mobi";
        QTest::newRow("added by itself") << "/lib/a/x.epub"
                                         << "" << true << ""
                                         << "/out/x.mobi";
        QTest::newRow("not below") << "/other/a/x.epub"
                                   << "/lib" << true << ""
                                   << "/out/x.mobi";
        QTest::newRow("a name that starts alike") << "/library/a/x.epub"
                                                  << "/lib" << true << ""
                                                  << "/out/x.mobi";
        QTest::newRow("climbing") << "/lib/../a/x.epub"
                                  << "/lib" << true << ""
                                  << "/out/x.mobi";
        QTest::newRow("beside the source") << "/lib/a/x.epub"
                                           << "/lib" << false << ""
                                           << "/lib/a/x.mobi";
    }
    void keptSubFolder() {
        QFETCH(QString, source);
        QFETCH(QString, root);
        QFETCH(bool, oneFolder);
        QFETCH(QString, subFolder);
        QFETCH(QString, output);
        const OutputOptions options{oneFolder, !oneFolder, QStringLiteral("/out/")};
        QCOMPARE(KeptSubFolder(source, root, options), subFolder);
        QCOMPARE(OutputPathFor(source, options, subFolder), output);
    }

    // The converter gets exactly the source and its output by default, calibre's options after
    // them otherwise; a joint file without a KF8 part is refused, plainly.
    void converterArguments() {
        const QString out = Folder(QStringLiteral("out"));
        const QString book = Book(m_work.path() + QStringLiteral("/books/plain.epub"));
        const QList<BookOutcome> plain =
            Run({book}, {}, WithKindleChoices({}, KindleChoicesFromSettings()), {true, false, out});
        QCOMPARE(plain.size(), 1);
        QCOMPARE(plain[0].result, BookOutcome::Result::Converted);
        QList<QStringList> calls = Calls(m_calls);
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].size(), 3);  // no options at all

        ConversionSetup setup;
        setup.format = KindleFormat::Joint;
        setup.deviceProfile = QStringLiteral("kindle_oasis");
        const QList<BookOutcome> joint = Run({book}, {}, setup, {true, false, out});
        calls = Calls(m_calls);
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].value(3),
                 QStringLiteral("--mobi-file-type both --output-profile kindle_oasis"));
        QCOMPARE(joint.size(), 1);
        QCOMPARE(joint[0].result, BookOutcome::Result::Failed);
        QVERIFY2(joint[0].reason.contains(QStringLiteral("has no KF8 part")),
                 qPrintable(joint[0].reason));
        // The earlier output stays as it was.
        QCOMPARE(Content(out + QStringLiteral("/plain.mobi")),
                 Content(QStringLiteral(BQ_SAMPLE_MOBI)));

        // The same MOBI 6 file read back for a MOBI 6 run, and for a joint one.
        QCOMPARE(MobiProblem(QStringLiteral(BQ_SAMPLE_MOBI)), QString());
        QVERIFY(MobiProblem(QStringLiteral(BQ_SAMPLE_MOBI), MobiReadBack::Expected::Joint)
                    .contains(QStringLiteral("has no KF8 part")));
    }

    // A library's folders kept below the output folder.
    void keepFolders() {
        const QString out = Folder(QStringLiteral("out"));
        const QString library = Folder(QStringLiteral("library"));
        const QString deep = Book(library + QStringLiteral("/Fiction/Old/deep.epub"));
        const QString top = Book(library + QStringLiteral("/top.epub"));
        const QString alone = Book(m_work.path() + QStringLiteral("/single/alone.epub"));
        // A second book whose output is the first's, and a book whose root went before Start.
        const QString twin = Book(m_work.path() + QStringLiteral("/twin/Fiction/Old/deep.epub"));
        const QString gone = Folder(QStringLiteral("gone"));
        const QString lost = Book(gone + QStringLiteral("/a/lost.epub"));
        QVERIFY(QDir(gone).removeRecursively());

        ConversionSetup setup;
        setup.keepFolders = true;
        const QList<BookOutcome> outcomes =
            Run({deep, top, alone, twin, lost},
                {library, library, QString(), m_work.path() + QStringLiteral("/twin"), gone}, setup,
                {true, false, out + QLatin1Char('/')});
        QCOMPARE(outcomes.size(), 5);
        QCOMPARE(outcomes[0].result, BookOutcome::Result::Converted);
        QCOMPARE(outcomes[0].output, out + QStringLiteral("/Fiction/Old/deep.mobi"));
        QVERIFY(QFileInfo::exists(out + QStringLiteral("/Fiction/Old/deep.mobi")));
        QCOMPARE(outcomes[1].output, out + QStringLiteral("/top.mobi"));
        QCOMPARE(outcomes[2].output, out + QStringLiteral("/alone.mobi"));
        QCOMPARE(outcomes[1].result, BookOutcome::Result::Converted);
        QCOMPARE(outcomes[2].result, BookOutcome::Result::Converted);
        QCOMPARE(outcomes[3].result, BookOutcome::Result::Failed);
        QVERIFY2(outcomes[3].reason.contains(QStringLiteral("would replace the one just made")),
                 qPrintable(outcomes[3].reason));
        QCOMPARE(outcomes[4].result, BookOutcome::Result::Failed);
        QVERIFY2(outcomes[4].reason.contains(QStringLiteral("no longer exists")),
                 qPrintable(outcomes[4].reason));
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/a")));

        // Without the choice, and beside the sources, the folders are not kept.
        const QString flat = Folder(QStringLiteral("flat"));
        const QList<BookOutcome> plain = Run({deep}, {library}, {}, {true, false, flat});
        QCOMPARE(plain[0].output, flat + QStringLiteral("/deep.mobi"));
        const QList<BookOutcome> beside = Run({deep}, {library}, setup, {false, true, flat});
        QCOMPARE(beside[0].output, library + QStringLiteral("/Fiction/Old/deep.mobi"));
        QVERIFY(QFile::remove(beside[0].output));
    }

    // A link or a file where a kept folder goes: the book fails, nothing goes through the link.
    void keepFoldersRefusesLinks() {
        const QString out = Folder(QStringLiteral("out"));
        const QString elsewhere = Folder(QStringLiteral("elsewhere"));
        const QString library = Folder(QStringLiteral("library"));
        QVERIFY(QFile::link(elsewhere, out + QStringLiteral("/Linked")));
        Write(out + QStringLiteral("/Blocked"), "a file\n");
        const QString linked = Book(library + QStringLiteral("/Linked/in.epub"));
        const QString blocked = Book(library + QStringLiteral("/Blocked/in2.epub"));
        ConversionSetup setup;
        setup.keepFolders = true;
        const QList<BookOutcome> outcomes =
            Run({linked, blocked}, {library, library}, setup, {true, false, out});
        QCOMPARE(outcomes.size(), 2);
        QCOMPARE(outcomes[0].result, BookOutcome::Result::Failed);
        QVERIFY2(outcomes[0].reason.contains(QStringLiteral("is a link")),
                 qPrintable(outcomes[0].reason));
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(outcomes[1].result, BookOutcome::Result::Failed);
        QVERIFY2(outcomes[1].reason.contains(QStringLiteral("is in the way")),
                 qPrintable(outcomes[1].reason));
        QCOMPARE(Calls(m_calls).size(), 0);  // neither was converted
    }

    // A sub-folder name that a FAT stick cannot hold fails before its conversion.
    void keepFoldersOnFatStick() {
        FatStick stick;
        if (!stick.skipReason().isEmpty()) {
            QSKIP(qPrintable(stick.skipReason()));
        }
        const QString library = Folder(QStringLiteral("library"));
        const QString bad = Book(library + QStringLiteral("/Sci:Fi/in.epub"));
        const QString good = Book(library + QStringLiteral("/Plain/in2.epub"));
        ConversionSetup setup;
        setup.keepFolders = true;
        const QList<BookOutcome> outcomes =
            Run({bad, good}, {library, library}, setup, {true, false, stick.path()});
        QCOMPARE(outcomes.size(), 2);
        QCOMPARE(outcomes[0].result, BookOutcome::Result::Failed);
        QVERIFY2(outcomes[0].reason.contains(QStringLiteral("Sci:Fi")) &&
                     outcomes[0].reason.contains(QStringLiteral("FAT")),
                 qPrintable(outcomes[0].reason));
        QCOMPARE(outcomes[1].result, BookOutcome::Result::Converted);
        QVERIFY(QFileInfo::exists(stick.path() + QStringLiteral("/Plain/in2.mobi")));
        QCOMPARE(Calls(m_calls).size(), 1);
    }

    // SkipUpToDate from the settings: a newer output is left alone, even a broken one.
    void skipUpToDate() {
        const QString out = Folder(QStringLiteral("out"));
        const QString book = Book(m_work.path() + QStringLiteral("/books/old.epub"));
        Write(out + QStringLiteral("/old.mobi"), "broken, but newer\n");
        struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(book).constData(), times, 0) == 0);
        SaveSetting(Setting::SkipUpToDate, QStringLiteral("True"));
        const QList<BookOutcome> outcomes =
            Run({book}, {}, WithKindleChoices({}, KindleChoicesFromSettings()), {true, false, out});
        SaveKindleChoices({});
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].result, BookOutcome::Result::UpToDate);
        QCOMPARE(Content(out + QStringLiteral("/old.mobi")), QByteArray("broken, but newer\n"));
        QCOMPARE(Calls(m_calls).size(), 0);
    }

    // The list keeps each entry's root in step with its text.
    void listRoots() {
        ConversionList list;
        list.Append(QStringLiteral("/a.epub"));
        list.Append({QStringLiteral("/lib/b.epub"), QStringLiteral("/lib/x/c.epub")},
                    QStringLiteral("/lib"));
        QCOMPARE(list.Roots(),
                 QStringList({QString(), QStringLiteral("/lib"), QStringLiteral("/lib")}));
        list.Exchange(0, 2);
        QCOMPARE(list.Text(0), QStringLiteral("/lib/x/c.epub"));
        QCOMPARE(list.Root(0), QStringLiteral("/lib"));
        QCOMPARE(list.Root(2), QString());
        list.Remove(1);
        QCOMPARE(list.Entries(),
                 QStringList({QStringLiteral("/lib/x/c.epub"), QStringLiteral("/a.epub")}));
        QCOMPARE(list.Roots(), QStringList({QStringLiteral("/lib"), QString()}));
        QCOMPARE(list.data(list.index(0), Qt::DisplayRole).toString(),
                 QStringLiteral("/lib/x/c.epub"));
        list.Clear();
        QCOMPARE(list.Roots(), QStringList());
    }
};

BQ_TEST_MAIN(KindleChoicesTest)
#include "tst_kindle_choices.moc"
