// The settings store: defaults only for missing keys, Boolean texts, writes that reach the disk
// at once, and stores that cannot be read or written raising run-time errors.
#include "platform/ReadWholeFile.h"
#include "platform/RunTimeError.h"
#include "platform/SettingsStore.h"
#include "support/RunAs.h"
#include "support/RunTimeErrorOf.h"
#include "support/SettingsFolderBlocked.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <functional>

using namespace bq;

namespace {}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

  private:
    QString storeFile() const { return SettingsFileName(); }

  private slots:
    void init() {
        QFile::remove(storeFile());
        QDir().mkpath(QFileInfo(storeFile()).path());
    }

    void theStoreLivesInTheTestsConfigFolder() {
        QVERIFY(storeFile().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QVERIFY(storeFile().endsWith(QStringLiteral("/Tarvex/Brindlequill.ini")));
    }

    // The README's table of keys and the manual page describe every key the program keeps, in
    // the table's order, and no other.
    void everyKeyIsDescribedInTheReadmeAndTheManual() {
        QStringList keys;
        for (const SettingDefinition& definition : kSettingTable) {
            keys << QLatin1String(definition.key);
        }
        QFile readme(QStringLiteral(BQ_SOURCE_DIR "/README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        QStringList inReadme;
        const QRegularExpression row(QStringLiteral("^\\| `([A-Za-z0-9]+)` \\|"));
        bool inTable = false;
        for (const QString& line : QString::fromUtf8(readme.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QStringLiteral("| Key | What it holds |"))) {
                inTable = true;
            } else if (inTable && !line.startsWith(QLatin1Char('|'))) {
                break;
            }
            const QRegularExpressionMatch match = row.match(line);
            if (inTable && match.hasMatch()) {
                inReadme << match.captured(1);
            }
        }
        QCOMPARE(inReadme, keys);
        QFile manual(QStringLiteral(BQ_SOURCE_DIR "/packaging/brindlequill.1"));
        QVERIFY(manual.open(QIODevice::ReadOnly));
        const QString page = QString::fromUtf8(manual.readAll());
        const qsizetype start = page.indexOf(QStringLiteral("[Brindlequill]"));
        const qsizetype end = page.indexOf(QStringLiteral(".SH FILES"));
        QVERIFY(start > 0 && end > start);
        QStringList inManual;
        const QStringList lines = page.mid(start, end - start).split(QLatin1Char('\n'));
        for (qsizetype i = 1; i < lines.size(); ++i) {
            if (lines[i - 1] == QStringLiteral(".TP") &&
                lines[i].startsWith(QStringLiteral(".B "))) {
                inManual << lines[i].mid(3);
            }
        }
        QCOMPARE(inManual, keys);
    }

    void missingKeysGiveTheDefault() {
        QCOMPARE(GetSetting(QStringLiteral("Extension"), QStringLiteral("epub")),
                 QStringLiteral("epub"));
        QCOMPARE(GetSetting(QStringLiteral("Option1"), 1), QStringLiteral("1"));
        QCOMPARE(GetSetting(QStringLiteral("Option2"), 0), QStringLiteral("0"));
        QCOMPARE(GetSetting(QStringLiteral("LastFolder")), QString());
        QVERIFY(!HasSetting(QStringLiteral("LastFolder")));
    }

    void anEmptyTextIsNotAMissingKey() {
        SaveSetting(QStringLiteral("Text1"), QString());
        QVERIFY(HasSetting(QStringLiteral("Text1")));
        QCOMPARE(GetSetting(QStringLiteral("Text1"), QStringLiteral("/desk/")), QString());
    }

    void valuesComeBackAsWritten_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("a folder") << QStringLiteral("/home/reader/Books/");
        QTest::newRow("commas and quotes") << QStringLiteral("/a, b/\"c\"; d=e/");
        QTest::newRow("a snapshot") << QStringLiteral("/p/Samples/a.epub|/p/Samples/b c.epub");
        QTest::newRow("non-ASCII") << QStringLiteral("/home/читатель/Книги/");
        QTest::newRow("leading and trailing spaces") << QStringLiteral("  x  ");
        QTest::newRow("a backslash and CR LF") << QStringLiteral("a\\b\r\nc");
        QTest::newRow("an at sign") << QStringLiteral("@Variant(x)");
    }
    void valuesComeBackAsWritten() {
        QFETCH(QString, value);
        SaveSetting(QStringLiteral("Text1"), value);
        QCOMPARE(GetSetting(QStringLiteral("Text1"), QStringLiteral("default")), value);
    }

    void aWriteReachesTheFileAtOnce() {
        SaveSetting(QStringLiteral("Option1"), QStringLiteral("False"));
        QFile file(storeFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("[Brindlequill]"));
        QVERIFY(text.contains("Option1=False"));
    }

    void everyReadGoesToTheStore() {
        SaveSetting(QStringLiteral("Extension"), QStringLiteral("epub"));
        QSettings other(storeFile(), QSettings::IniFormat);
        other.setValue(QStringLiteral("Brindlequill/Extension"), QStringLiteral("azw3"));
        other.sync();
        QCOMPARE(GetSetting(QStringLiteral("Extension")), QStringLiteral("azw3"));
    }

    void textToBooleanTakesOnlyWordsAndPlainNumbers_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");  // 1 true, 0 false, 13 type mismatch
        QTest::newRow("True") << "True" << 1;
        QTest::newRow("False") << "False" << 0;
        QTest::newRow("true") << "true" << 1;
        QTest::newRow("FALSE") << "FALSE" << 0;
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("-1") << "-1" << 1;
        QTest::newRow("2.5") << "2.5" << 1;
        QTest::newRow("spaces around") << " True " << 1;
        QTest::newRow("yes") << "yes" << 13;
        QTest::newRow("empty") << "" << 13;
        QTest::newRow("Truely") << "Truely" << 13;
        QTest::newRow("nan") << "nan" << 13;
        QTest::newRow("inf") << "inf" << 13;
        QTest::newRow("-inf") << "-inf" << 13;
        QTest::newRow("an exponent") << "1e3" << 13;
        QTest::newRow("a bare decimal point") << "." << 13;
        QTest::newRow("+.5") << "+.5" << 1;
        QTest::newRow("-0.0") << "-0.0" << 0;
    }
    void textToBooleanTakesOnlyWordsAndPlainNumbers() {
        QFETCH(QString, text);
        QFETCH(int, expected);
        bool value = false;
        const int error = RunTimeErrorOf([&] { value = TextToBoolean(text); });
        if (expected == 13) {
            QCOMPARE(error, int(ErrTypeMismatch));
        } else {
            QCOMPARE(error, 0);
            QCOMPARE(value, expected == 1);
        }
        QCOMPARE(BooleanToText(true), QStringLiteral("True"));
        QCOMPARE(BooleanToText(false), QStringLiteral("False"));
    }

    // A store whose folder cannot be made (a file stands where the folder should be).
    void aStoreThatCannotBeWrittenRaises() {
        const SettingsFolderBlocked blocked;
        QVERIFY(blocked.ok());
        QCOMPARE(
            RunTimeErrorOf([] { SaveSetting(QStringLiteral("Option1"), QStringLiteral("True")); }),
            int(ErrPermissionDenied));
    }

    void aCorruptStoreRaisesAndIsNotRewritten() {
        QFile file(storeFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray corrupt("[Brindlequill]\nOption1=True\n\xff\xfe\x00junk\n[[[\nOption2\n",
                                 47);
        file.write(corrupt);
        file.close();
        QCOMPARE(RunTimeErrorOf([] { GetSetting(QStringLiteral("Option1"), 1); }),
                 int(ErrPathFileAccess));
        QCOMPARE(
            RunTimeErrorOf([] { SaveSetting(QStringLiteral("Option1"), QStringLiteral("False")); }),
            int(ErrPathFileAccess));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), corrupt);
    }

    // Read, a failed write, then reads again, as a user whose store may be read but not
    // written, and whose TEMP is not writable either: the failed write raises once and every
    // read works.
    void aFailedWriteLeavesLaterReadsWorking() {
        QByteArray folder = "/tmp/bq-settings-XXXXXX";
        QVERIFY(::mkdtemp(folder.data()) != nullptr);
        const QString base = QString::fromLocal8Bit(folder);
        QDir().mkpath(base + QStringLiteral("/Tarvex"));
        const QString file = base + QStringLiteral("/Tarvex/Brindlequill.ini");
        const QByteArray content = "[Brindlequill]\nOption1=False\nText1=/books/\n";
        QFile store(file);
        QVERIFY(store.open(QIODevice::WriteOnly));
        store.write(content);
        store.close();
        QProcess::execute(QStringLiteral("chmod"),
                          {QStringLiteral("-R"), QStringLiteral("a+rX,go-w"), base});
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        const QByteArray oldTemp = qgetenv("TEMP");
        qputenv("XDG_CONFIG_HOME", folder);
        qputenv("TEMP", folder);  // root's, and closed to others
        QString output;
        const int code =
            RunAsNobody(QStringLiteral(BQ_PROBE),
                        {QStringLiteral("settings"), QStringLiteral("get:Option1"),
                         QStringLiteral("set:Text1=/elsewhere/"), QStringLiteral("get:Option1"),
                         QStringLiteral("get:Text1"), QStringLiteral("set:Text1=/again/"),
                         QStringLiteral("get:Option2")},
                        &output);
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qputenv("TEMP", oldTemp);
        const QByteArray after = ReadWholeFile(file);
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), base});
        QCOMPARE(code, 0);
        QCOMPARE(output.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 (QStringList{"value False", "error 70", "value False", "value /books/", "error 70",
                              "value -", "ok"}));
        QCOMPARE(after, content);
    }

    // Whatever makes the file unreadable to the store (here a line Qt does not take), it is
    // reported at every use and never rewritten.
    void aFileQtCannotParseIsReportedAndNeverRewritten() {
        const QByteArray content =
            "; the reader's own notes\n[Brindlequill]\n# a remark\nOption1=True\n";
        QFile file(storeFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        for (int read = 0; read < 2; ++read) {
            QCOMPARE(RunTimeErrorOf([] { GetSetting(QStringLiteral("Option1"), 1); }),
                     int(ErrPathFileAccess));
        }
        QCOMPARE(
            RunTimeErrorOf([] { SaveSetting(QStringLiteral("Text1"), QStringLiteral("/x/")); }),
            int(ErrPathFileAccess));
        QCOMPARE(ReadWholeFile(storeFile()), content);
    }

    void aStoreThatCannotBeReadRaises() {
        const QByteArray root = "/tmp/bq-settings-XXXXXX";
        QByteArray folder = root;
        QVERIFY(::mkdtemp(folder.data()) != nullptr);
        const QString base = QString::fromLocal8Bit(folder);
        QDir().mkpath(base + QStringLiteral("/Tarvex"));
        QFile file(base + QStringLiteral("/Tarvex/Brindlequill.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Brindlequill]\nOption1=False\n");
        file.close();
        QProcess::execute(QStringLiteral("chmod"),
                          {QStringLiteral("-R"), QStringLiteral("a+rX"), base});
        QVERIFY(file.setPermissions(QFileDevice::WriteOwner));
        QString output;
        QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody"), file.fileName()});
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", folder);
        const int code =
            RunAsNobody(QStringLiteral(BQ_PROBE),
                        {QStringLiteral("read-setting"), QStringLiteral("Option1")}, &output);
        qputenv("XDG_CONFIG_HOME", oldConfig);
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), base});
        QCOMPARE(code, 3);
        QCOMPARE(output.trimmed(), QStringLiteral("error 70"));
    }
};

BQ_TEST_MAIN(SettingsTest)
#include "tst_settings.moc"
