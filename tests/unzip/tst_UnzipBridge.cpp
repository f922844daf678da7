// The engine bridge and the session against a stand-in engine that records what it receives and
// makes scripted callbacks: the records and name tables, the callbacks' byte-count rules, the
// password flow, events and their order, the directory table, and the bridge's errors.

#include "platform/RunTimeError.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <QtTest>

#include <dlfcn.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace bq;

namespace {

// The stand-in's script and records, reached through the library the bridge loads.
struct Standin {
    void (*Reset)();
    void (*SetResult)(std::int32_t);
    void (*ChangeOptions)();
    void (*AddPrint)(const char*, std::uint32_t, std::uint32_t);
    void (*AddReplace)(const char*);
    void (*AddPassword)();
    void (*AddEntry)(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t, std::uint32_t, const char*, const char*, std::uint32_t,
                     unsigned char);
    void (*AddService)(const char*, std::uint32_t, std::uint32_t);
    int (*Calls)();
    std::int32_t (*IncludeCount)();
    std::int32_t (*ExcludeCount)();
    const char* (*TableSlot)(int, int);
    std::int32_t (*OptionField)(int);
    const char* (*ZipFile)();
    const char* (*UnzipFolder)();
    const void* (*CallbackSlot)(int);
    int (*AnswerCount)();
    std::int32_t (*Answer)(int);
    const char* (*PasswordBuffer)(int);
    int (*PasswordBufferLength)(int);
};

template <typename F>
void Resolve(void* library, F& function, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        throw std::runtime_error(name);
    }
    function = reinterpret_cast<F>(symbol);
}

// An entry line for the stand-in's listing.
void AddListed(const Standin& s, const char* path, std::int32_t size = 10,
               std::int32_t ratio = 50) {
    s.AddEntry(size, ratio, 8, 31, 2021, 13, 45, path, "Defl:N", 0x1234, ' ');
}

int RunTimeErrorNumber(const std::function<void()>& action, QString* source = nullptr) {
    try {
        action();
    } catch (const RunTimeError& e) {
        if (source != nullptr) {
            *source = e.source();
        }
        return e.number();
    }
    return 0;
}

}  // namespace

class UnzipBridgeTest : public QObject {
    Q_OBJECT

  private:
    void* m_library = nullptr;
    Standin s{};

    // A session with an archive path and a target folder, as the program sets it up.
    static void Prepare(cUnzip& session) {
        session.ZipFile(QStringLiteral("/archives/runtime.zip"));
        session.UnzipFolder(QStringLiteral("/tmp/target folder"));
    }

    // Lists entries a.txt, sub/ and sub/b.txt into the session.
    void ListThree(cUnzip& session) {
        s.Reset();
        AddListed(s, "a.txt");
        AddListed(s, "sub/");
        AddListed(s, "sub/b.txt");
        session.Directory();
    }

  private slots:
    void initTestCase() {
        m_library = dlopen(STANDIN_ENGINE_PATH, RTLD_NOW);
        QVERIFY2(m_library != nullptr, dlerror());
        Resolve(m_library, s.Reset, "Standin_Reset");
        Resolve(m_library, s.SetResult, "Standin_SetResult");
        Resolve(m_library, s.ChangeOptions, "Standin_ChangeOptions");
        Resolve(m_library, s.AddPrint, "Standin_AddPrint");
        Resolve(m_library, s.AddReplace, "Standin_AddReplace");
        Resolve(m_library, s.AddPassword, "Standin_AddPassword");
        Resolve(m_library, s.AddEntry, "Standin_AddEntry");
        Resolve(m_library, s.AddService, "Standin_AddService");
        Resolve(m_library, s.Calls, "Standin_Calls");
        Resolve(m_library, s.IncludeCount, "Standin_IncludeCount");
        Resolve(m_library, s.ExcludeCount, "Standin_ExcludeCount");
        Resolve(m_library, s.TableSlot, "Standin_TableSlot");
        Resolve(m_library, s.OptionField, "Standin_OptionField");
        Resolve(m_library, s.ZipFile, "Standin_ZipFile");
        Resolve(m_library, s.UnzipFolder, "Standin_UnzipFolder");
        Resolve(m_library, s.CallbackSlot, "Standin_CallbackSlot");
        Resolve(m_library, s.AnswerCount, "Standin_AnswerCount");
        Resolve(m_library, s.Answer, "Standin_Answer");
        Resolve(m_library, s.PasswordBuffer, "Standin_PasswordBuffer");
        Resolve(m_library, s.PasswordBufferLength, "Standin_PasswordBufferLength");
    }

    void init() {
        mUnzip::SetEngineLibraryPath(QStringLiteral(STANDIN_ENGINE_PATH));
        s.Reset();
    }

    void cleanupTestCase() {
        mUnzip::SetEngineLibraryPath({});
        dlclose(m_library);
    }

    void programLoadsTheEngineFromItsOwnFolder() {
        mUnzip::SetEngineLibraryPath({});
        QCOMPARE(mUnzip::EngineLibraryPath(),
                 QCoreApplication::applicationDirPath() + QStringLiteral("/libbqunzip.so"));
    }

    void newSessionSendsTheWholeArchiveAndZeroFlags() {
        cUnzip session;
        Prepare(session);
        QVERIFY(session.Unzip());
        QCOMPARE(s.Calls(), 1);
        QCOMPARE(s.IncludeCount(), 0);
        QCOMPARE(QByteArray(s.TableSlot(0, 0)), QByteArray(""));  // the empty text, not null
        QVERIFY(s.TableSlot(0, 1) == nullptr);
        QCOMPARE(s.ExcludeCount(), 0);
        QCOMPARE(QByteArray(s.TableSlot(1, 0)), QByteArray(""));
        QVERIFY(s.TableSlot(1, 1) == nullptr);
        for (int field = 1; field <= 15; ++field) {
            QCOMPARE(s.OptionField(field), 0);
        }
        QCOMPARE(QByteArray(s.ZipFile()), QByteArray("/archives/runtime.zip"));
        QCOMPARE(QByteArray(s.UnzipFolder()), QByteArray("/tmp/target folder"));
    }

    void callbackRecordHoldsTheFiveProcedures() {
        cUnzip session;
        Prepare(session);
        session.Unzip();
        for (int slot : {1, 3, 4, 5, 6}) {
            QVERIFY2(s.CallbackSlot(slot) != nullptr, qPrintable(QString::number(slot)));
        }
        for (int slot : {2, 7, 8, 9, 10, 11}) {
            QVERIFY2(s.CallbackSlot(slot) == nullptr, qPrintable(QString::number(slot)));
        }
    }

    void booleanOptionsAreStoredAsOneOrZero_data() {
        QTest::addColumn<int>("field");
        QTest::newRow("ExtractOnlyNewer") << 1;
        QTest::newRow("SpaceToUnderScore") << 2;
        QTest::newRow("PromptToOverwrite") << 3;
        QTest::newRow("TestZip") << 6;
        QTest::newRow("UseFolderNames") << 10;
        QTest::newRow("OverwriteExisting") << 11;
        QTest::newRow("ConvertCRToCRLF") << 12;
        QTest::newRow("CaseSensitiveFileNames") << 14;
    }
    void booleanOptionsAreStoredAsOneOrZero() {
        QFETCH(int, field);
        using Setter = void (cUnzip::*)(bool);
        using Getter = bool (cUnzip::*)() const;
        const QHash<int, QPair<Setter, Getter>> properties{
            {1, {&cUnzip::ExtractOnlyNewer, &cUnzip::ExtractOnlyNewer}},
            {2, {&cUnzip::SpaceToUnderScore, &cUnzip::SpaceToUnderScore}},
            {3, {&cUnzip::PromptToOverwrite, &cUnzip::PromptToOverwrite}},
            {6, {&cUnzip::TestZip, &cUnzip::TestZip}},
            {10, {&cUnzip::UseFolderNames, &cUnzip::UseFolderNames}},
            {11, {&cUnzip::OverwriteExisting, &cUnzip::OverwriteExisting}},
            {12, {&cUnzip::ConvertCRToCRLF, &cUnzip::ConvertCRToCRLF}},
            {14, {&cUnzip::CaseSensitiveFileNames, &cUnzip::CaseSensitiveFileNames}},
        };
        const auto [set, get] = properties.value(field);
        cUnzip session;
        Prepare(session);
        QCOMPARE((session.*get)(), false);
        (session.*set)(true);
        QCOMPARE((session.*get)(), true);
        session.Unzip();
        for (int f = 1; f <= 15; ++f) {
            QCOMPARE(s.OptionField(f), f == field ? 1 : 0);  // 1, never -1
        }
        (session.*set)(false);
        QCOMPARE((session.*get)(), false);
        session.Unzip();
        QCOMPARE(s.OptionField(field), 0);
    }

    void messageLevelIsCarriedUnchanged() {
        cUnzip session;
        Prepare(session);
        for (std::int32_t level : {0, 1, 2, -3, 77}) {
            session.MessageLevel(level);
            QCOMPARE(session.MessageLevel(), level);
            session.Unzip();
            QCOMPARE(s.OptionField(4), level);
        }
    }

    void unzipIsTrueExactlyForTheEngineSuccess_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("expected");
        QTest::newRow("0 success") << 0 << true;
        QTest::newRow("1 warning") << 1 << false;
        QTest::newRow("2 archive error") << 2 << false;
        QTest::newRow("9 not a zip") << 9 << false;
        QTest::newRow("50 disk") << 50 << false;
        QTest::newRow("80 stopped") << 80 << false;
        QTest::newRow("82 passwords") << 82 << false;
        QTest::newRow("-1") << -1 << false;
    }
    void unzipIsTrueExactlyForTheEngineSuccess() {
        QFETCH(int, result);
        QFETCH(bool, expected);
        s.SetResult(result);
        cUnzip session;
        Prepare(session);
        QCOMPARE(session.Unzip(), expected);
        UnzipOptions options;
        std::int32_t count = 0;
        std::int32_t excludeCount = 0;
        QStringList names;
        QStringList excludes;
        // The bridge passes the result through unchanged.
        QCOMPARE(mUnzip::VBUnzip(session, options, count, names, excludeCount, excludes), result);
    }

    void unzipWithoutArchiveDoesNotCallTheEngine() {
        cUnzip session;
        session.UnzipFolder(QStringLiteral("/tmp/x"));
        QCOMPARE(session.Unzip(), false);
        QCOMPARE(s.Calls(), 0);
    }

    void directoryListsFilesAndSkipsFolders() {
        cUnzip session;
        Prepare(session);
        ListThree(session);
        QCOMPARE(s.OptionField(7), 1);
        QCOMPARE(QByteArray(s.ZipFile()), QByteArray("/archives/runtime.zip"));
        QCOMPARE(QByteArray(s.UnzipFolder()), QByteArray(""));  // an empty text, not null
        QCOMPARE(s.IncludeCount(), 0);
        QCOMPARE(session.FileCount(), 2);
        QCOMPARE(session.Filename(1), QStringLiteral("a.txt"));
        QCOMPARE(session.FileDirectory(1), QString());
        QCOMPARE(session.Filename(2), QStringLiteral("b.txt"));
        QCOMPARE(session.FileDirectory(2), QStringLiteral("sub"));
        QCOMPARE(session.FileSize(2), 10);
        QCOMPARE(session.FileCompressionRatio(2), 50);
        QCOMPARE(session.FileCompressionMethod(2), QStringLiteral("Defl:N"));
        QCOMPARE(session.FileCRC(2), 0x1234);
        QCOMPARE(session.FileEncrypted(2), false);
        QCOMPARE(session.FileSelected(1), true);
        QCOMPARE(session.FileSelected(2), true);
    }

    void unzipAfterDirectoryExtractsWithFieldSevenZero() {
        cUnzip session;
        Prepare(session);
        ListThree(session);
        QVERIFY(session.Unzip());
        QCOMPARE(s.OptionField(7), 0);
        QCOMPARE(QByteArray(s.UnzipFolder()), QByteArray("/tmp/target folder"));
    }

    void selectionDecidesTheNames_data() {
        QTest::addColumn<bool>("select1");
        QTest::addColumn<bool>("select2");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("both selected: whole archive") << true << true << QStringList{};
        QTest::newRow("row 1 deselected") << false << true << QStringList{"sub/b.txt"};
        QTest::newRow("row 2 deselected") << true << false << QStringList{"a.txt"};
        QTest::newRow("none selected: whole archive") << false << false << QStringList{};
    }
    void selectionDecidesTheNames() {
        QFETCH(bool, select1);
        QFETCH(bool, select2);
        QFETCH(QStringList, names);
        cUnzip session;
        Prepare(session);
        ListThree(session);
        session.FileSelected(1, select1);
        session.FileSelected(2, select2);
        session.Unzip();
        QCOMPARE(s.IncludeCount(), names.size());
        for (int i = 0; i < names.size(); ++i) {
            QCOMPARE(QString::fromUtf8(s.TableSlot(0, i)), names.at(i));
        }
        QCOMPARE(QByteArray(s.TableSlot(0, static_cast<int>(names.size()))), QByteArray(""));
        QVERIFY(s.TableSlot(0, static_cast<int>(names.size()) + 1) == nullptr);
        // Unzip never changes the rows.
        QCOMPARE(session.FileSelected(1), select1);
        QCOMPARE(session.FileSelected(2), select2);
        QCOMPARE(session.FileCount(), 2);
    }

    void aBackslashInANameReachesTheEngineUnchanged() {
        cUnzip session;
        Prepare(session);
        s.Reset();
        AddListed(s, "odd\\name.txt");
        AddListed(s, "dir/other.txt");
        session.Directory();
        QCOMPARE(session.Filename(1), QStringLiteral("odd\\name.txt"));
        session.FileSelected(2, false);
        session.Unzip();
        QCOMPARE(QByteArray(s.TableSlot(0, 0)), QByteArray("odd\\name.txt"));
    }

    void secondDirectoryAppendsAndZipFileEmptiesTheTable() {
        cUnzip session;
        Prepare(session);
        ListThree(session);
        session.Directory();
        QCOMPARE(session.FileCount(), 4);
        QCOMPARE(session.Filename(3), QStringLiteral("a.txt"));
        session.ZipFile(session.ZipFile());  // the same path still empties the table
        QCOMPARE(session.FileCount(), 0);
        QCOMPARE(RunTimeErrorNumber([&] { session.Filename(1); }), int(ErrSubscriptOutOfRange));
        session.UnzipFolder(QStringLiteral("/elsewhere"));
        QCOMPARE(session.UnzipFolder(), QStringLiteral("/elsewhere"));
    }

    void indexOutsideTheTableRaisesSubscriptOutOfRange_data() {
        QTest::addColumn<int>("index");
        QTest::newRow("0") << 0;
        QTest::newRow("-1") << -1;
        QTest::newRow("FileCount + 1") << 3;
        QTest::newRow("far") << 1000000;
    }
    void indexOutsideTheTableRaisesSubscriptOutOfRange() {
        QFETCH(int, index);
        cUnzip session;
        Prepare(session);
        ListThree(session);
        const QList<std::function<void()>> members{
            [&] { session.Filename(index); },
            [&] { session.FileDirectory(index); },
            [&] { session.FileSize(index); },
            [&] { session.FilePackedSize(index); },
            [&] { session.FileCompressionRatio(index); },
            [&] { session.FileDate(index); },
            [&] { session.FileCRC(index); },
            [&] { session.FileCompressionMethod(index); },
            [&] { session.FileEncrypted(index); },
            [&] { session.FileSelected(index); },
            [&] { session.FileSelected(index, false); },
        };
        for (const auto& member : members) {
            QCOMPARE(RunTimeErrorNumber(member), int(ErrSubscriptOutOfRange));
        }
        QCOMPARE(session.FileCount(), 2);
        QCOMPARE(session.FileSelected(1), true);
        QCOMPARE(session.FileSelected(2), true);
    }

    void filePackedSize_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("ratio");  // as the engine passes it (low 16 bits are read)
        QTest::addColumn<int>("expectedRatio");
        QTest::addColumn<int>("packed");  // -1: overflow
        QTest::newRow("1000 at 45") << 1000 << 45 << 45 << 450;
        QTest::newRow("1000 at -5") << 1000 << -5 << -5 << -50;
        QTest::newRow("truncated") << 1001 << 45 << 45 << 450;
        QTest::newRow("truncated towards zero") << 1001 << -45 << -45 << -450;
        QTest::newRow("16-bit ratio sign-extended") << 1000 << 0xFFFB << -5 << -50;
        QTest::newRow("high bits of ratio ignored") << 1000 << 0x10000 + 45 << 45 << 450;
        QTest::newRow("empty entry") << 0 << 0 << 0 << 0;
        QTest::newRow("product overflows") << 2147483647 << 2 << 2 << -1;
        QTest::newRow("largest that fits") << 21474836 << 100 << 100 << 21474836;
    }
    void filePackedSize() {
        QFETCH(int, size);
        QFETCH(int, ratio);
        QFETCH(int, expectedRatio);
        QFETCH(int, packed);
        cUnzip session;
        Prepare(session);
        s.Reset();
        AddListed(s, "f.bin", size, ratio);
        session.Directory();
        QCOMPARE(session.FileCompressionRatio(1), expectedRatio);
        if (packed == -1) {
            QCOMPARE(RunTimeErrorNumber([&] { session.FilePackedSize(1); }), int(ErrOverflow));
        } else {
            QCOMPARE(session.FilePackedSize(1), packed);
        }
    }

    void entryDates_data() {
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("plain") << 2021 << 8 << 31 << 13 << 45
                               << QDateTime(QDate(2021, 8, 31), QTime(13, 45, 0));
        QTest::newRow("day 0 is the last day of the month before")
            << 2024 << 3 << 0 << 0 << 0 << QDateTime(QDate(2024, 2, 29), QTime(0, 0));
        QTest::newRow("day 0 of January")
            << 2021 << 1 << 0 << 9 << 5 << QDateTime(QDate(2020, 12, 31), QTime(9, 5));
        QTest::newRow("month 13") << 2021 << 13 << 2 << 23 << 59
                                  << QDateTime(QDate(2022, 1, 2), QTime(23, 59));
        QTest::newRow("month 0") << 2021 << 0 << 15 << 12 << 0
                                 << QDateTime(QDate(2020, 12, 15), QTime(12, 0));
        QTest::newRow("day 32") << 2021 << 1 << 32 << 1 << 1
                                << QDateTime(QDate(2021, 2, 1), QTime(1, 1));
        QTest::newRow("DOS epoch")
            << 1980 << 1 << 1 << 0 << 0 << QDateTime(QDate(1980, 1, 1), QTime(0, 0));
    }
    void entryDates() {
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(QDateTime, expected);
        cUnzip session;
        Prepare(session);
        s.Reset();
        s.AddEntry(1, 0, static_cast<std::uint32_t>(month), static_cast<std::uint32_t>(day),
                   static_cast<std::uint32_t>(year), static_cast<std::uint32_t>(hour),
                   static_cast<std::uint32_t>(minute), "d.txt", "Stored", 0, ' ');
        session.Directory();
        QCOMPARE(session.FileDate(1), expected);
        QCOMPARE(session.FileDate(1).time().second(), 0);
    }

    void listedEntryFields_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("nested") << QByteArray("dir1/dir2/file.ext") << "dir1/dir2"
                                << "file.ext";
        QTest::newRow("root") << QByteArray("file.ext") << ""
                              << "file.ext";
        QTest::newRow("leading separator") << QByteArray("/abs.txt") << ""
                                           << "/abs.txt";
        QTest::newRow("leading separator, nested") << QByteArray("/a/b.txt") << "/a"
                                                   << "b.txt";
        QTest::newRow("doubled separator") << QByteArray("a//b.txt") << "a/"
                                           << "b.txt";
        QTest::newRow("spaces") << QByteArray("my dir/my file.txt") << "my dir"
                                << "my file.txt";
        QTest::newRow("UTF-8") << QByteArray("d\xc3\xa9j\xc3\xa0/\xe6\x97\xa5.txt")
                               << QString::fromUtf8("d\xc3\xa9j\xc3\xa0")
                               << QString::fromUtf8("\xe6\x97\xa5.txt");
        // A path longer than 256 bytes is read whole: a cut one would name another entry.
        const QByteArray deep = QByteArray(300, 'd') + "/" + QByteArray(200, 'f');
        QTest::newRow("longer than 256 bytes")
            << deep << QString(300, QLatin1Char('d')) << QString(200, QLatin1Char('f'));
    }
    void listedEntryFields() {
        QFETCH(QByteArray, path);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        cUnzip session;
        Prepare(session);
        s.Reset();
        AddListed(s, path.constData());
        session.Directory();
        QCOMPARE(session.FileCount(), 1);
        QCOMPARE(session.FileDirectory(1), folder);
        QCOMPARE(session.Filename(1), name);
    }

    void encryptedFlagIsBitSix_data() {
        QTest::addColumn<int>("flag");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("'E'") << int('E') << true;
        QTest::newRow("' '") << int(' ') << false;
        QTest::newRow("64") << 64 << true;
        QTest::newRow("63") << 63 << false;
        QTest::newRow("255") << 255 << true;
        QTest::newRow("0") << 0 << false;
    }
    void encryptedFlagIsBitSix() {
        QFETCH(int, flag);
        QFETCH(bool, encrypted);
        cUnzip session;
        Prepare(session);
        s.Reset();
        s.AddEntry(5, 100, 1, 1, 2020, 0, 0, "e.bin", "Stored", 0xFFFFFFFFu,
                   static_cast<unsigned char>(flag));
        session.Directory();
        QCOMPARE(session.FileEncrypted(1), encrypted);
        QCOMPARE(session.FileCRC(1), -1);  // the CRC as a signed 32-bit value
    }

    void slashesToBackslashes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("position");
        QTest::newRow("none") << "abc" << 1;
        QTest::newRow("empty") << "" << 1;
        QTest::newRow("only at position 1") << "/abc" << 1;
        QTest::newRow("two") << "a/b/c" << 5;
        QTest::newRow("trailing") << "dir/" << 5;
        QTest::newRow("leading and more") << "/a/b" << 4;
        QTest::newRow("doubled at start") << "//x" << 3;
        QTest::newRow("backslash is a character") << "a\\b" << 1;
    }
    void slashesToBackslashes() {
        QFETCH(QString, text);
        QFETCH(int, position);
        QString changed = text;
        QCOMPARE(mUnzip::SlashesToBackslashes(changed), position);
        QCOMPARE(changed, text);  // the native separator is "/" already
    }

    void splitEntryPathCutsAtTheFirstNul() {
        QString path = QStringLiteral("dir/a.txt") + QChar(u'\0') + QStringLiteral("junk/x");
        QString folder;
        mUnzip::SplitEntryPath(path, folder);
        QCOMPARE(folder, QStringLiteral("dir"));
        QCOMPARE(path, QStringLiteral("a.txt"));
        QString plain = QStringLiteral("plain");
        QString none = QStringLiteral("kept");
        mUnzip::SplitEntryPath(plain, none);
        QCOMPARE(plain, QStringLiteral("plain"));
        QCOMPARE(none, QStringLiteral("kept"));  // no separator: both stay as they are
    }

    void printByteCounts_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("heard");
        QTest::newRow("0 bytes") << QByteArray() << 0 << false;
        QTest::newRow("1 byte") << QByteArray("x") << 1 << false;
        QTest::newRow("2 bytes") << QByteArray("ok") << 2 << true;
        QTest::newRow("1023 bytes") << QByteArray(1023, 'm') << 1023 << true;
        QTest::newRow("1024 bytes") << QByteArray(1024, 'm') << 1024 << false;
        QTest::newRow("huge") << QByteArray(70000, 'm') << 70000 << false;
        QTest::newRow("a zero byte does not cut") << QByteArray("ab\0cd\n", 6) << 6 << true;
        QTest::newRow("count below the text") << QByteArray("abcdef") << 3 << true;
    }
    void printByteCounts() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, count);
        QFETCH(bool, heard);
        cUnzip session;
        Prepare(session);
        QStringList messages;
        QList<int> counts;
        connect(&session, &cUnzip::Progress, this, [&](std::int32_t lCount, const QString& m) {
            counts.append(lCount);
            messages.append(m);
        });
        s.AddPrint(bytes.constData(), static_cast<std::uint32_t>(bytes.size()),
                   static_cast<std::uint32_t>(count));
        session.Unzip();
        QCOMPARE(messages.size(), heard ? 1 : 0);
        QCOMPARE(s.Answer(0), 0);
        if (heard) {
            QCOMPARE(counts.at(0), 1);
            QCOMPARE(messages.at(0), QString::fromUtf8(bytes.left(count)));
            QCOMPARE(messages.at(0).size(), count);
        }
    }

    void replaceQuestion() {
        cUnzip session;
        Prepare(session);
        s.AddReplace("/tmp/target folder/a.txt");
        session.Unzip();
        QCOMPARE(s.Answer(0), 100);  // nobody answered: keep the file

        s.Reset();
        QString asked;
        connect(&session, &cUnzip::OverwritePrompt, this,
                [&](const QString& sFIle, std::int32_t& eResponse) {
                    asked = sFIle;
                    QCOMPARE(eResponse, 100);
                    eResponse = 102;
                });
        s.AddReplace("/tmp/target folder/sub/b.txt");
        session.Unzip();
        QCOMPARE(asked, QStringLiteral("/tmp/target folder/sub/b.txt"));
        QCOMPARE(s.Answer(0), 102);
    }

    void serviceByteCounts_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("heard");  // "-" when no event
        QTest::newRow("1 byte: nothing") << QByteArray("") << 1 << "-";
        QTest::newRow("0: nothing") << QByteArray("a") << 0 << "-";
        QTest::newRow("name and its zero") << QByteArray("a/b.txt") << 8 << "a/b.txt";
        QTest::newRow("shortest") << QByteArray("a") << 2 << "a";
        QTest::newRow("count past the text stops at its zero")
            << QByteArray("abc") << 1000 << "abc";
        QTest::newRow("cut before a zero byte") << QByteArray("ab\0cd", 5) << 5 << "ab";
        QTest::newRow("1024: nothing") << QByteArray("abc") << 1024 << "-";
        QTest::newRow("a file size as the count: nothing") << QByteArray("abc") << 5000000 << "-";
    }
    void serviceByteCounts() {
        QFETCH(QByteArray, text);
        QFETCH(int, count);
        QFETCH(QString, heard);
        cUnzip session;
        Prepare(session);
        QStringList messages;
        connect(&session, &cUnzip::Cancel, this, [&](const QString& sMsg, bool& bCancel) {
            QCOMPARE(bCancel, false);
            messages.append(sMsg);
        });
        s.AddService(text.constData(), static_cast<std::uint32_t>(text.size()),
                     static_cast<std::uint32_t>(count));
        session.Unzip();
        if (heard == QStringLiteral("-")) {
            QVERIFY(messages.isEmpty());
        } else {
            QCOMPARE(messages, QStringList{heard});
        }
        QCOMPARE(s.Answer(0), 0);
    }

    void cancelAnswerStopsTheEngine() {
        cUnzip session;
        Prepare(session);
        s.AddService("a.txt", 5, 6);
        session.Unzip();
        QCOMPARE(s.Answer(0), 0);  // no handler: go on
        s.Reset();
        int asked = 0;
        connect(&session, &cUnzip::Cancel, this,
                [&](const QString&, bool& bCancel) { bCancel = ++asked == 2; });
        s.AddService("a.txt", 5, 6);
        s.AddService("b.txt", 5, 6);
        session.Unzip();
        QCOMPARE(s.Answer(0), 0);
        QCOMPARE(s.Answer(1), 1);
    }

    void passwordWithoutHandlerIsRefusedOnce() {
        cUnzip session;
        Prepare(session);
        s.AddPassword();
        s.AddPassword();
        session.Unzip();
        QCOMPARE(s.Answer(0), 1);
        QCOMPARE(s.Answer(1), 1);
        QVERIFY(mUnzip::PasswordCancelled());
    }

    void passwordIsTrimmedAndHandedOn_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QByteArray>("buffer");
        QTest::newRow("plain") << "secret" << false << 0 << QByteArray("secret");
        QTest::newRow("blanks trimmed") << "  secret  " << false << 0 << QByteArray("secret");
        QTest::newRow("inner blank kept") << " se cret " << false << 0 << QByteArray("se cret");
        QTest::newRow("only blanks refuse") << "   " << false << 1 << QByteArray();
        QTest::newRow("empty refuses") << "" << false << 1 << QByteArray();
        QTest::newRow("cancel refuses") << "secret" << true << 1 << QByteArray();
        QTest::newRow("254 bytes at most")
            << QString(300, QLatin1Char('p')) << false << 0 << QByteArray(254, 'p');
        // Letters beyond ASCII take two bytes each here: all of them reach the engine.
        QTest::newRow("UTF-8 whole") << QString::fromUtf8("p\xc3\xa4ss\xc3\xb6rd") << false << 0
                                     << QByteArray("p\xc3\xa4ss\xc3\xb6rd");
    }
    void passwordIsTrimmedAndHandedOn() {
        QFETCH(QString, given);
        QFETCH(bool, cancel);
        QFETCH(int, answer);
        QFETCH(QByteArray, buffer);
        cUnzip session;
        Prepare(session);
        int asked = 0;
        connect(&session, &cUnzip::PasswordRequest, this, [&](QString& sPassword, bool& bCancel) {
            ++asked;
            QVERIFY(sPassword.isEmpty());
            QCOMPARE(bCancel, false);
            sPassword = given;
            bCancel = cancel;
        });
        s.AddPassword();
        s.AddPassword();
        session.Unzip();
        QCOMPARE(s.Answer(0), answer);
        QCOMPARE(QByteArray(s.PasswordBuffer(0)), buffer);
        if (answer == 0) {
            QCOMPARE(asked, 2);
            QCOMPARE(s.Answer(1), 0);
            QVERIFY(!mUnzip::PasswordCancelled());
        } else {
            // Refused once: every later request of the call is refused without asking.
            QCOMPARE(asked, 1);
            QCOMPARE(s.Answer(1), 1);
            QVERIFY(mUnzip::PasswordCancelled());
        }
    }

    void passwordRefusalLastsOneCall() {
        cUnzip session;
        Prepare(session);
        int asked = 0;
        connect(&session, &cUnzip::PasswordRequest, this, [&](QString& sPassword, bool&) {
            sPassword = ++asked == 1 ? QString() : QStringLiteral("pw");
        });
        s.AddPassword();
        session.Unzip();
        QCOMPARE(s.Answer(0), 1);
        QVERIFY(mUnzip::PasswordCancelled());
        s.Reset();
        s.AddPassword();
        session.Unzip();  // a new call asks again
        QCOMPARE(asked, 2);
        QCOMPARE(s.Answer(0), 0);
        QCOMPARE(QByteArray(s.PasswordBuffer(0)), QByteArray("pw"));
    }

    void eventsArriveInTheEngineOrder() {
        cUnzip session;
        Prepare(session);
        QStringList seen;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { seen << "Progress " + m.trimmed(); });
        connect(&session, &cUnzip::Cancel, this,
                [&](const QString& m, bool&) { seen << "Cancel " + m; });
        connect(&session, &cUnzip::OverwritePrompt, this,
                [&](const QString& f, std::int32_t&) { seen << "OverwritePrompt " + f; });
        connect(&session, &cUnzip::PasswordRequest, this, [&](QString& p, bool&) {
            seen << QStringLiteral("PasswordRequest");
            p = QStringLiteral("x");
        });
        s.AddService("a.txt", 5, 6);
        s.AddPrint("  inflating: a.txt\n", 19, 19);
        s.AddService("b.txt", 5, 6);
        s.AddPassword();
        s.AddReplace("/t/b.txt");
        s.AddPrint("  inflating: b.txt\n", 19, 19);
        session.Unzip();
        QCOMPARE(seen, (QStringList{"Cancel a.txt", "Progress inflating: a.txt", "Cancel b.txt",
                                    "PasswordRequest", "OverwritePrompt /t/b.txt",
                                    "Progress inflating: b.txt"}));
    }

    void nameTableHolds1023Names() {
        cUnzip session;
        Prepare(session);
        QStringList names;
        for (int i = 1; i <= 1023; ++i) {
            names << QStringLiteral("n%1").arg(i);
        }
        std::int32_t count = 1023;
        std::int32_t excludeCount = 0;
        QStringList excludes;
        UnzipOptions options;
        QCOMPARE(mUnzip::VBUnzip(session, options, count, names, excludeCount, excludes), 0);
        QCOMPARE(s.IncludeCount(), 1023);
        QCOMPARE(QByteArray(s.TableSlot(0, 0)), QByteArray("n1"));
        QCOMPARE(QByteArray(s.TableSlot(0, 1022)), QByteArray("n1023"));
        QCOMPARE(QByteArray(s.TableSlot(0, 1023)), QByteArray(""));
        // The exclude table follows the same rule.
        excludeCount = 1023;
        count = 0;
        QCOMPARE(mUnzip::VBUnzip(session, options, count, names, excludeCount, names), 0);
        QCOMPARE(s.ExcludeCount(), 1023);
        QCOMPARE(QByteArray(s.TableSlot(1, 1022)), QByteArray("n1023"));
        QCOMPARE(QByteArray(s.TableSlot(1, 1023)), QByteArray(""));
    }

    void nameTableRefuses1024Names_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("excludeCount");
        QTest::newRow("1024 names") << 1024 << 0;
        QTest::newRow("5000 names") << 5000 << 0;
        QTest::newRow("1024 excludes") << 0 << 1024;
        QTest::newRow("negative count") << -1 << 0;
        QTest::newRow("more than given") << 3 << 0;
    }
    void nameTableRefuses1024Names() {
        QFETCH(int, count);
        QFETCH(int, excludeCount);
        cUnzip session;
        Prepare(session);
        QVERIFY(session.Unzip());  // the session becomes the current one
        QCOMPARE(mUnzip::CurrentSession(), &session);
        QStringList names;
        for (int i = 0; i < 5000; ++i) {
            names << QStringLiteral("n");
        }
        QStringList two{"a", "b"};
        std::int32_t c = count;
        std::int32_t e = excludeCount;
        QString source;
        const int number = RunTimeErrorNumber(
            [&] {
                UnzipOptions options;
                mUnzip::VBUnzip(session, options, c, count == 3 ? two : names, e, names);
            },
            &source);
        QCOMPARE(number, int(ErrSubscriptOutOfRange));
        QVERIFY2(source.endsWith(QStringLiteral(".VBUnzip")), qPrintable(source));
        QCOMPARE(source, QCoreApplication::applicationName() + QStringLiteral(".VBUnzip"));
        QCOMPARE(s.Calls(), 1);                        // the engine was not called again
        QVERIFY(mUnzip::CurrentSession() == nullptr);  // released by the failure
    }

    void unzipOf1024SelectedRowsRaisesTheTableError() {
        cUnzip session;
        Prepare(session);
        s.Reset();
        std::vector<QByteArray> paths;
        for (int i = 0; i < 1025; ++i) {
            paths.push_back(QByteArray("f") + QByteArray::number(i));
        }
        for (const QByteArray& p : paths) {
            AddListed(s, p.constData());
        }
        session.Directory();
        QCOMPARE(session.FileCount(), 1025);
        session.FileSelected(1, false);  // 1024 names remain
        QString source;
        QCOMPARE(RunTimeErrorNumber([&] { session.Unzip(); }, &source),
                 int(ErrSubscriptOutOfRange));
        QVERIFY(source.endsWith(QStringLiteral(".VBUnzip")));
        QCOMPARE(session.Options().ListOnly, 0);  // step 3's values stay
        QCOMPARE(s.Calls(), 1);
        session.FileSelected(2, false);  // 1023 names fit
        QVERIFY(session.Unzip());
        QCOMPARE(s.IncludeCount(), 1023);
        QCOMPARE(QByteArray(s.TableSlot(0, 0)), QByteArray("f2"));
    }

    void currentSessionOutlivesTheCallButNotTheSession() {
        auto session = std::make_unique<cUnzip>();
        Prepare(*session);
        session->Unzip();
        QCOMPARE(mUnzip::CurrentSession(), session.get());
        session.reset();
        QVERIFY(mUnzip::CurrentSession() == nullptr);
    }

    void missingEngineLibraryIsFileNotFound() {
        mUnzip::SetEngineLibraryPath(QStringLiteral("/nonexistent/libbqunzip.so"));
        cUnzip session;
        Prepare(session);
        QString source;
        QCOMPARE(RunTimeErrorNumber([&] { session.Unzip(); }, &source), int(ErrFileNotFound));
        QVERIFY(source.endsWith(QStringLiteral(".VBUnzip")));
        QVERIFY(!mUnzip::EngineLoadProblem().isEmpty());
        QVERIFY(mUnzip::CurrentSession() == nullptr);
        QCOMPARE(RunTimeErrorNumber([&] { session.Directory(); }), int(ErrFileNotFound));
        std::int32_t a = 0, b = 0, c = 0;
        QDateTime d;
        QString extra;
        QCOMPARE(RunTimeErrorNumber([&] { session.GetVersion(a, b, c, d, extra); }),
                 int(ErrFileNotFound));
        try {
            session.Unzip();
        } catch (const RunTimeError& e) {
            QCOMPARE(e.description(), QStringLiteral("File not found"));
        }
    }

    void missingEntryPointIsFileNotFound() {
        mUnzip::SetEngineLibraryPath(QStringLiteral(STANDIN_NO_UNZIP_PATH));
        cUnzip session;
        Prepare(session);
        QString source;
        QCOMPARE(RunTimeErrorNumber([&] { session.Unzip(); }, &source), int(ErrFileNotFound));
        QVERIFY(source.endsWith(QStringLiteral(".VBUnzip")));
        QVERIFY(mUnzip::EngineLoadProblem().contains(QStringLiteral("Wiz_SingleEntryUnzip")));
        // The version entry point of the same library still answers.
        std::int32_t major = -1, minor = -1, revision = -1;
        QDateTime date;
        QString extra;
        session.GetVersion(major, minor, revision, date, extra);
        QCOMPARE(major, 7);
    }

    void getVersionReadsTheFourthBlock() {
        cUnzip session;
        std::int32_t major = -1, minor = -1, revision = -1;
        const QDateTime untouched(QDate(1999, 9, 9), QTime(9, 9));
        QDateTime date = untouched;
        QString extra;
        session.GetVersion(major, minor, revision, date, extra);
        QCOMPARE(major, 7);
        QCOMPARE(minor, 250);
        QCOMPARE(revision, 9);
        QCOMPARE(extra, QStringLiteral("ab        "));  // blanks from the first zero on
        QCOMPARE(extra.size(), 10);
        QCOMPARE(date, untouched);
    }

    void engineChangesToTheOptionsStayInTheSession() {
        cUnzip session;
        Prepare(session);
        s.ChangeOptions();
        session.Unzip();
        QCOMPARE(session.MessageLevel(), 5);
        QCOMPARE(session.Options().ZipFile, QStringLiteral("/archives/runtime.zip"));
    }

    void aFailingHandlerDoesNotStopTheCallbacks() {
        cUnzip session;
        Prepare(session);
        int heard = 0;
        connect(&session, &cUnzip::Progress, this, [&](std::int32_t, const QString&) {
            ++heard;
            RaiseError(ErrPathFileAccess);
        });
        connect(&session, &cUnzip::Cancel, this, [&](const QString&, bool& bCancel) {
            bCancel = true;
            throw std::runtime_error("handler fault");
        });
        s.AddPrint("first\n", 6, 6);
        s.AddService("a.txt", 5, 6);
        s.AddPrint("second\n", 7, 7);
        QVERIFY(session.Unzip());
        QCOMPARE(heard, 2);
        QCOMPARE(s.Answer(0), 0);
        QCOMPARE(s.Answer(1), 1);  // the flag was set before the handler failed
    }

    void aSecondCallFromAHandlerIsRefusedAndTheFirstGoesOn() {
        cUnzip outer;
        Prepare(outer);
        cUnzip inner;
        Prepare(inner);
        int nestedError = 0;
        QString nestedSource;
        QStringList outerHeard;
        connect(&outer, &cUnzip::Progress, this, [&](std::int32_t, const QString& m) {
            outerHeard << m;
            if (outerHeard.size() == 1) {
                nestedError = RunTimeErrorNumber([&] { inner.Unzip(); }, &nestedSource);
            }
        });
        s.AddPrint("one\n", 4, 4);
        s.AddPrint("two\n", 4, 4);
        QVERIFY(outer.Unzip());
        QCOMPARE(nestedError, int(ErrInvalidCall));
        QVERIFY(nestedSource.endsWith(QStringLiteral(".VBUnzip")));
        QCOMPARE(outerHeard, (QStringList{"one\n", "two\n"}));  // still the outer session's
        QCOMPARE(s.Calls(), 1);
        QCOMPARE(mUnzip::CurrentSession(), &outer);
    }

    void aCallFromAnotherThreadWaitsForTheRunningOne() {
        cUnzip first;
        Prepare(first);
        cUnzip second;
        Prepare(second);
        std::thread other;
        std::atomic<bool> otherDone{false};
        int callsSeenWhileRunning = -1;
        connect(&first, &cUnzip::Progress, this, [&](std::int32_t, const QString&) {
            other = std::thread([&] {
                second.Unzip();
                otherDone = true;
            });
            QThread::msleep(200);
            callsSeenWhileRunning = s.Calls();
        });
        s.AddPrint("wait\n", 5, 5);
        first.Unzip();
        other.join();
        QCOMPARE(callsSeenWhileRunning, 1);  // the other thread had not reached the engine
        QVERIFY(otherDone);
        QCOMPARE(s.Calls(), 2);
    }
};

QTEST_GUILESS_MAIN(UnzipBridgeTest)
#include "tst_UnzipBridge.moc"
