// The program's command line: the window's paths, a conversion without a window, and the usage
// errors that must never become books.
#include "cli/ProgramArguments.h"
#include "platform/ByteText.h"
#include "support/TestMain.h"

#include <QTest>

using namespace bq;
using Mode = ProgramArguments::Mode;

class ProgramArgumentsTest : public QObject {
    Q_OBJECT

  private slots:
    void modes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("error");
        QTest::newRow("paths open the window")
            << QStringList{"a.epub", "Books"} << int(Mode::Window) << QStringList{"a.epub", "Books"}
            << QString();
        QTest::newRow("a path like an option after --")
            << QStringList{"--", "-x.epub"} << int(Mode::Window) << QStringList{"-x.epub"}
            << QString();
        QTest::newRow("an unknown option is no book")
            << QStringList{"-x.epub"} << int(Mode::UsageError) << QStringList()
            << "-x.epub is not an option";
        QTest::newRow("--help") << QStringList{"--help", "a.epub"} << int(Mode::Help)
                                << QStringList() << QString();
        QTest::newRow("-h") << QStringList{"-h"} << int(Mode::Help) << QStringList() << QString();
        QTest::newRow("--version")
            << QStringList{"--version"} << int(Mode::Version) << QStringList() << QString();
        QTest::newRow("a conversion option without --convert")
            << QStringList{"--jobs", "2", "a.epub"} << int(Mode::UsageError) << QStringList()
            << "--jobs goes with --convert";
        QTest::newRow("--convert with nothing") << QStringList{"--convert"} << int(Mode::UsageError)
                                                << QStringList() << "needs the books or folders";
        QTest::newRow("--jobs 0") << QStringList{"--convert", "--jobs", "0", "a.epub"}
                                  << int(Mode::UsageError) << QStringList()
                                  << "--jobs takes a whole number from 1 to 16, not \"0\"";
        QTest::newRow("--jobs abc") << QStringList{"--convert", "--jobs", "abc", "a.epub"}
                                    << int(Mode::UsageError) << QStringList() << "not \"abc\"";
        QTest::newRow("--time-limit -5")
            << QStringList{"--convert", "--time-limit", "-5", "a.epub"} << int(Mode::UsageError)
            << QStringList() << "--time-limit takes a whole number of seconds";
        QTest::newRow("--memory-budget 100M")
            << QStringList{"--convert", "--memory-budget", "100M", "a.epub"}
            << int(Mode::UsageError) << QStringList()
            << "--memory-budget takes a size such as 4G or 4096M (at least 256M), not \"100M\"";
        QTest::newRow("a missing value") << QStringList{"--convert", "a.epub", "--jobs"}
                                         << int(Mode::UsageError) << QStringList() << "jobs";
        QTest::newRow("--kindle-format azw3")
            << QStringList{"--convert", "--kindle-format", "azw3", "a.epub"}
            << int(Mode::UsageError) << QStringList()
            << "--kindle-format takes mobi6 or joint, not \"azw3\"";
        QTest::newRow("--device kobo")
            << QStringList{"--convert", "--device", "kobo", "a.epub"} << int(Mode::UsageError)
            << QStringList() << "--device takes one of kindle, kindle_dx";
        QTest::newRow("--keep-folders without a folder")
            << QStringList{"--convert", "--keep-folders", "Books"} << int(Mode::UsageError)
            << QStringList() << "--keep-folders goes with --output-folder";
        QTest::newRow("--device without --convert")
            << QStringList{"--device", "kindle", "a.epub"} << int(Mode::UsageError) << QStringList()
            << "--device goes with --convert";
    }
    void modes() {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QFETCH(QStringList, paths);
        QFETCH(QString, error);
        const ProgramArguments parsed = ParseProgramArguments(arguments, 3);
        QCOMPARE(int(parsed.mode), mode);
        QCOMPARE(parsed.windowPaths, paths);
        QVERIFY2(parsed.usageError.contains(error), qPrintable(parsed.usageError));
        if (!error.isEmpty()) {
            QVERIFY(parsed.usageError.endsWith(QStringLiteral("(see brindlequill --help)")));
        }
    }

    void convertOptions() {
        const ProgramArguments parsed = ParseProgramArguments(
            {"--convert", "Books", "--output-folder", "out", "--jobs", "4", "--time-limit", "60",
             "--memory-budget", "4G", "--extension", "kepub", "--skip-existing", "--quiet",
             "--summary-json", "s.json", "--", "--odd.epub"},
            3);
        QCOMPARE(int(parsed.mode), int(Mode::Convert));
        const ConvertRequest& request = parsed.convert;
        QCOMPARE(request.paths, (QList<QByteArray>{"Books", "--odd.epub"}));
        QCOMPARE(request.outputFolder, QByteArray("out"));
        QCOMPARE(request.jobs, 4);
        QCOMPARE(request.timeLimit.count(), 60);
        QCOMPARE(request.memoryBudget, std::uint64_t{4} << 30);
        QCOMPARE(request.extension, QStringLiteral("kepub"));
        QVERIFY(request.skipExisting && request.quiet);
        QCOMPARE(request.summaryJson, QByteArray("s.json"));

        const ProgramArguments defaults = ParseProgramArguments({"--convert", "a.epub"}, 3);
        QCOMPARE(defaults.convert.jobs, 3);
        QCOMPARE(defaults.convert.timeLimit.count(), 1800);
        QCOMPARE(defaults.convert.memoryBudget, std::uint64_t{0});
        QCOMPARE(defaults.convert.extension, QStringLiteral("epub"));
        QVERIFY(defaults.convert.outputFolder.isEmpty());
        QCOMPARE(defaults.convert.choices.format, KindleFormat::Mobi6);
        QCOMPARE(defaults.convert.choices.deviceProfile, QString());
        QVERIFY(!defaults.convert.choices.keepFolders);

        const ProgramArguments kindle =
            ParseProgramArguments({"--convert", "--kindle-format", "joint", "--device",
                                   "kindle_pw3", "--keep-folders", "--output-folder", "out", "B"},
                                  3);
        QCOMPARE(int(kindle.mode), int(Mode::Convert));
        QCOMPARE(kindle.convert.choices.format, KindleFormat::Joint);
        QCOMPARE(kindle.convert.choices.deviceProfile, QStringLiteral("kindle_pw3"));
        QVERIFY(kindle.convert.choices.keepFolders);
        QVERIFY(HelpText().contains(QStringLiteral("kindle_scribe")));
    }

    // Paths and the values of path options keep the bytes given, also those that are not UTF-8;
    // the window is given text as before.
    void bytesAsGiven() {
        const QByteArray book("b\xff\xfe.epub");
        const QByteArray json("s\xff.json");
        const QByteArray out("o\xc3(\xed\xa0\x80");  // a cut sequence, an encoded surrogate
        const ProgramArguments parsed = ParseProgramArguments(
            {"--convert", TextKeepingBytes(book), "--summary-json", TextKeepingBytes(json),
             "--output-folder", TextKeepingBytes(out), TextKeepingBytes("\xf0\x9f\x93\x96.epub")},
            3);
        QCOMPARE(int(parsed.mode), int(Mode::Convert));
        QCOMPARE(parsed.convert.paths, (QList<QByteArray>{book, "\xf0\x9f\x93\x96.epub"}));
        QCOMPARE(parsed.convert.summaryJson, json);
        QCOMPARE(parsed.convert.outputFolder, out);

        const ProgramArguments window = ParseProgramArguments({TextKeepingBytes(book)}, 3);
        QCOMPARE(window.windowPaths, QStringList{QString::fromUtf8(book)});
    }
};

BQ_TEST_MAIN(ProgramArgumentsTest)
#include "tst_program_arguments.moc"
