// The unzip engine through its C interface, on archives made by make_archives.py (and a few made
// here with libzip): every option, the callbacks' rules, hostile and broken archives, and the
// same trees as Info-ZIP's unzip.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/FolderSnapshot.h"
#include "support/RunAs.h"
#include "unzip_engine.h"

namespace {

struct Row {
    std::uint64_t packed;
    std::int32_t size;
    std::int32_t ratio;
    unsigned month, day, year, hour, minute;
    std::string path;
    std::string method;
    std::uint32_t crc;
    unsigned char encrypted;
};

// What the callbacks saw, and how they answer. The engine's callbacks carry no context, so the
// test keeps one recorder for the process.
struct Recorder {
    std::vector<std::string> messages;
    std::vector<std::pair<std::string, std::uint32_t>> service;
    std::vector<std::string> replaceAsked;
    std::vector<Row> rows;
    std::vector<std::string> passwordAsked;
    std::vector<std::string> passwords;  // answers in turn; "" refuses
    std::int32_t replaceReply = BQUZP_REPLACE_NO;
    std::string cancelAt;
    std::function<void(const std::string&)> onService;  // another program's doing, meanwhile
    std::function<void()> onPassword;
    std::thread::id thread;
    int wrongThread = 0;

    std::string AllMessages() const {
        std::string all;
        for (const std::string& m : messages) {
            all += m;
        }
        return all;
    }
};
Recorder* g = nullptr;

void CheckThread() {
    if (std::this_thread::get_id() != g->thread) {
        ++g->wrongThread;
    }
}

int32_t OnPrint(const char* text, uint32_t count) {
    CheckThread();
    std::string message(text, count);
    // The rules the bridge relies on: 2..1023 bytes, a line feed at the end, no zero inside.
    if (count < 2 || count > 1023 || message.back() != '\n' ||
        message.find('\0') != std::string::npos || text[count] != '\0') {
        message = "BAD MESSAGE: " + message;
    }
    g->messages.push_back(message);
    return 0;
}

int32_t OnReplace(const char* path) {
    CheckThread();
    g->replaceAsked.emplace_back(path);
    return g->replaceReply;
}

int32_t OnPassword(char* buffer, int32_t size, const char* prompt, const char* entry) {
    CheckThread();
    (void)prompt;
    g->passwordAsked.emplace_back(entry);
    if (g->onPassword) {
        g->onPassword();
    }
    for (int32_t i = 0; i < size; ++i) {
        if (buffer[i] != 0) {
            g->messages.push_back("BAD MESSAGE: the password buffer was not cleared\n");
        }
    }
    if (g->passwords.empty() || g->passwords.front().empty() || size < 255) {
        if (!g->passwords.empty()) {
            g->passwords.erase(g->passwords.begin());
        }
        return 1;
    }
    const std::string pw = g->passwords.front();
    g->passwords.erase(g->passwords.begin());
    std::memcpy(buffer, pw.data(), std::min<std::size_t>(pw.size(), 254));  // no zero, as the
    return 0;                                                               // bridge does
}

void OnEntry(uint64_t packed, int32_t size, int32_t ratio, uint32_t month, uint32_t day,
             uint32_t year, uint32_t hour, uint32_t minute, unsigned char reserved,
             const char* path, const char* method, uint32_t crc, unsigned char encrypted) {
    CheckThread();
    (void)reserved;
    g->rows.push_back(
        {packed, size, ratio, month, day, year, hour, minute, path, method, crc, encrypted});
}

int32_t OnService(const char* text, uint32_t count) {
    CheckThread();
    g->service.emplace_back(std::string(text, strnlen(text, count)), count);
    if (g->onService) {
        g->onService(text);
    }
    return !g->cancelAt.empty() && g->cancelAt == text ? 1 : 0;
}

std::uint32_t Crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

UzpOptions Options(int folderNames = 1) {
    UzpOptions o{};
    o.UseFolderNames = folderNames;
    return o;
}

QString Read(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return QStringLiteral("<missing>");
    }
    return QString::fromUtf8(f.readAll());
}

mode_t ModeOf(const QString& path) {
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) {
        return 0;
    }
    return st.st_mode;
}

// Every path below top (relative), with a kind letter, permission bits, size and contents.
std::map<QString, QString> Tree(const QString& top, bool withTimes) {
    std::map<QString, QString> tree;
    for (const auto& [name, node] : FolderSnapshot(top)) {
        QString value = QString(QLatin1Char(node.kind == 'l' ? '?' : node.kind)) +
                        QString::number(node.mode, 8);
        if (node.kind == 'f') {
            value += QStringLiteral(" ") + QString::fromLatin1(node.contents.toHex().left(64)) +
                     QStringLiteral(" ") + QString::number(node.contents.size());
            if (withTimes) {
                value += QStringLiteral(" t") + QString::number(node.mtime);
            }
        }
        tree[name] = value;
    }
    return tree;
}

QStringList Names(const QString& top) {
    QStringList names;
    for (const auto& [name, value] : Tree(top, false)) {
        names << name;
    }
    return names;
}

}  // namespace

class UnzipEngineTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    QString archives_;
    int folderCounter_ = 0;

    QString Archive(const char* name) const { return archives_ + QLatin1Char('/') + name; }

    // A fresh, empty parent folder; the target is <parent>/t.
    QString FreshParent() {
        const QString parent =
            work_.path() + QStringLiteral("/run") + QString::number(++folderCounter_);
        QDir().mkpath(parent);
        return parent;
    }

    int Call(const QString& archive, const QString& target, UzpOptions options,
             const QStringList& include = {}, const QStringList& exclude = {}) {
        const QByteArray zipFile = QFile::encodeName(archive);
        const QByteArray folder = QFile::encodeName(target);
        options.ZipFile = zipFile.constData();
        options.UnzipFolder = folder.constData();
        // Tables as the program builds them: the names, an empty text, then nulls.
        std::vector<std::string> inc, exc;
        for (const QString& s : include) {
            inc.push_back(s.toStdString());
        }
        for (const QString& s : exclude) {
            exc.push_back(s.toStdString());
        }
        std::vector<const char*> incTable(1024, nullptr), excTable(1024, nullptr);
        for (std::size_t i = 0; i < inc.size(); ++i) {
            incTable[i] = inc[i].c_str();
        }
        for (std::size_t i = 0; i < exc.size(); ++i) {
            excTable[i] = exc[i].c_str();
        }
        incTable[inc.size()] = "";
        excTable[exc.size()] = "";
        UzpCallbacks callbacks{};
        callbacks.Print = OnPrint;
        callbacks.Replace = OnReplace;
        callbacks.Password = OnPassword;
        callbacks.EntryInfo = OnEntry;
        callbacks.Service = OnService;
        const int result = Wiz_SingleEntryUnzip(static_cast<int32_t>(inc.size()), incTable.data(),
                                                static_cast<int32_t>(exc.size()), excTable.data(),
                                                &options, &callbacks);
        for (const std::string& m : g->messages) {
            if (m.rfind("BAD MESSAGE", 0) == 0) {
                qWarning("%s", m.c_str());
                return -1000;
            }
        }
        return result;
    }

    // Whether libzip takes the password for the archive's first entry. A wrong AES password
    // passes the two-byte verifier one time in 65,536 and then fails on the data instead.
    static bool PasswordOpens(const QString& path, const char* password) {
        int error = 0;
        zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
        if (z == nullptr) {
            return false;
        }
        zip_file_t* f = zip_fopen_index_encrypted(z, 0, 0, password);
        if (f != nullptr) {
            zip_fclose(f);
        }
        zip_discard(z);
        return f != nullptr;
    }

    // An AES archive whose verifier the wrong password fails, as the tests expect.
    void MakeAesArchive(const QString& path, const char* password, const char* wrong) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            MakeAesArchive(path, password);
            if (PasswordOpens(path, password) && !PasswordOpens(path, wrong)) {
                return;
            }
        }
        QFAIL("every AES archive made took the wrong password");
    }

    void MakeAesArchive(const QString& path, const char* password) {
        int error = 0;
        zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        QVERIFY(z != nullptr);
        static const char kData[] = "sealed with AES-256\n";
        zip_source_t* s = zip_source_buffer(z, kData, sizeof kData - 1, 0);
        const zip_int64_t index = zip_file_add(z, "aes.txt", s, 0);
        QVERIFY(index >= 0);
        QCOMPARE(
            zip_file_set_encryption(z, static_cast<zip_uint64_t>(index), ZIP_EM_AES_256, password),
            0);
        QCOMPARE(zip_close(z), 0);
    }

  private slots:
    void initTestCase() {
        QVERIFY(work_.isValid());
        archives_ = work_.path() + QStringLiteral("/archives");
        QProcess make;
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(BQ_MAKE_ARCHIVES), QStringLiteral("engine"), archives_});
        QVERIFY(make.waitForFinished(120000));
        QVERIFY2(make.exitCode() == 0, make.readAll().constData());
    }

    void init() {
        g = new Recorder;
        g->thread = std::this_thread::get_id();
    }

    void cleanup() {
        QCOMPARE(g->wrongThread, 0);
        delete g;
        g = nullptr;
    }

    void versionRecord() {
        UzpVersionRecord v{};
        std::memset(&v, ' ', sizeof v);
        v.StructLength = 63;
        v.Flags = 0;
        UzpVersion2(&v);
        QCOMPARE(v.Block4[0], static_cast<unsigned char>(' '));  // too short: untouched
        v.StructLength = 64;
        UzpVersion2(&v);
        QCOMPARE(QByteArray(v.TextA), QByteArray("bqunzip"));
        QCOMPARE(v.Block4[0], static_cast<unsigned char>(1));
        QCOMPARE(v.Block4[1], static_cast<unsigned char>(0));
        QCOMPARE(v.Block4[2], static_cast<unsigned char>(0));
        QCOMPARE(QByteArray(v.TextC).isEmpty(), false);
    }

    void badArguments() {
        UzpCallbacks callbacks{};
        callbacks.Print = OnPrint;
        QCOMPARE(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, nullptr, &callbacks), BQUZP_PARAM);
        UzpOptions o = Options();
        QCOMPARE(Wiz_SingleEntryUnzip(-1, nullptr, 0, nullptr, &o, &callbacks), BQUZP_PARAM);
        QCOMPARE(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &o, &callbacks), BQUZP_PARAM);
        QCOMPARE(g->messages.size(), std::size_t(3));
        // Without any callbacks the engine still answers.
        QCOMPARE(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &o, nullptr), BQUZP_PARAM);
    }

    void archiveProblems_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QStringLiteral("no-such.zip") << BQUZP_NOZIP
                                 << QStringLiteral("No such file");
        QTest::newRow("not a zip") << QStringLiteral("not-a-zip.zip") << BQUZP_NOZIP
                                   << QStringLiteral("not a ZIP archive");
        QTest::newRow("truncated")
            << QStringLiteral("truncated.zip") << BQUZP_NOZIP << QStringLiteral("truncated");
        QTest::newRow("empty") << QStringLiteral("empty.zip") << BQUZP_WARN
                               << QStringLiteral("holds no entry");
        QTest::newRow("folder") << QStringLiteral("src") << BQUZP_NOZIP
                                << QStringLiteral("Is a directory");
    }
    void archiveIsAFifo() {
        const QString fifo = work_.path() + QStringLiteral("/fifo.zip");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(Call(fifo, FreshParent() + "/t", Options()), BQUZP_NOZIP);  // and no hang
        QVERIFY(g->AllMessages().find("not a regular file") != std::string::npos);
    }

    void archiveProblems() {
        QFETCH(QString, archive);
        QFETCH(int, result);
        QFETCH(QString, message);
        const QString parent = FreshParent();
        QCOMPARE(
            Call(archives_ + QLatin1Char('/') + archive, parent + QStringLiteral("/t"), Options()),
            result);
        QVERIFY2(QString::fromStdString(g->AllMessages()).contains(message),
                 g->AllMessages().c_str());
    }

    void listing() {
        UzpOptions o = Options();
        o.ListOnly = 1;
        QCOMPARE(Call(Archive("basic.zip"), QString(), o), 0);
        QStringList paths;
        for (const Row& r : g->rows) {
            paths << QString::fromStdString(r.path);
        }
        QCOMPARE(paths, QStringList({"a.txt", "sub/", "sub/b.txt", "sub/deeper/c.bin", "empty.txt",
                                     "run.sh", "Mixed Case Name.TXT"}));
        QVERIFY(g->service.empty());  // listing asks nothing
        const Row& b = g->rows[2];
        QCOMPARE(b.size, 76890);
        QCOMPARE(b.method, std::string("Defl:N"));
        QCOMPARE(b.encrypted, static_cast<unsigned char>(' '));
        // The ratio is the packed size as a per cent of the size.
        QVERIFY(b.ratio > 0 && b.ratio < 100);
        const double packedFromRatio = double(b.size) * b.ratio / 100.0;
        QVERIFY(std::abs(packedFromRatio - double(b.packed)) <= b.size / 200.0 + 1);
        const Row& c = g->rows[3];
        QCOMPARE(c.method, std::string("Stored"));
        QCOMPARE(c.ratio, 100);
        QCOMPARE(c.size, 1024);
        QCOMPARE(g->rows[4].ratio, 0);  // empty entry
        // 2021-08-31 14:25:36 as stored (no extended timestamp: local time).
        QCOMPARE(b.year, 2021u);
        QCOMPARE(b.month, 8u);
        QCOMPARE(b.day, 31u);
        QCOMPARE(b.hour, 14u);
        QCOMPARE(b.minute, 25u);
        QCOMPARE(g->rows[0].crc, Crc32("alpha\n"));
    }

    void listingCrcAndEncryption() {
        UzpOptions o = Options();
        o.ListOnly = 1;
        QCOMPARE(Call(Archive("trad.zip"), QString(), o), 0);
        QCOMPARE(g->rows.size(), std::size_t(2));
        QCOMPARE(g->rows[0].encrypted & 64, 64);
        QCOMPARE(g->rows[1].method, std::string("Stored"));
        QVERIFY(g->passwordAsked.empty());  // listing needs no password
        QCOMPARE(g->rows[1].crc, Crc32("second secret\n"));
    }

    void listingHonoursNames_data() {
        QTest::addColumn<QStringList>("include");
        QTest::addColumn<QStringList>("exclude");
        QTest::addColumn<int>("caseSensitive");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("result");
        QTest::newRow("all") << QStringList() << QStringList() << 0
                             << QStringList({"a.txt", "sub/", "sub/b.txt", "sub/deeper/c.bin",
                                             "empty.txt", "run.sh", "Mixed Case Name.TXT"})
                             << 0;
        QTest::newRow("star crosses folders")
            << QStringList({"sub/*"}) << QStringList() << 0
            << QStringList({"sub/", "sub/b.txt", "sub/deeper/c.bin"}) << 0;
        QTest::newRow("question mark")
            << QStringList({"?.txt"}) << QStringList() << 0 << QStringList({"a.txt"}) << 0;
        QTest::newRow("letter case ignored")
            << QStringList({"A.TXT", "mixed case name.txt"}) << QStringList() << 0
            << QStringList({"a.txt", "Mixed Case Name.TXT"}) << 0;
        QTest::newRow("letter case kept") << QStringList({"A.TXT", "a.txt"}) << QStringList() << 1
                                          << QStringList({"a.txt"}) << BQUZP_FIND;
        QTest::newRow("exclude") << QStringList() << QStringList({"*.txt", "sub/*"}) << 0
                                 << QStringList({"run.sh"}) << 0;
        QTest::newRow("exclude with case") << QStringList() << QStringList({"*.txt", "sub/*"}) << 1
                                           << QStringList({"run.sh", "Mixed Case Name.TXT"}) << 0;
        QTest::newRow("nothing matched")
            << QStringList({"nope*"}) << QStringList() << 0 << QStringList() << BQUZP_FIND;
        QTest::newRow("backslash pattern")
            << QStringList({"sub\\b.txt"}) << QStringList() << 0 << QStringList({"sub/b.txt"}) << 0;
    }
    void listingHonoursNames() {
        QFETCH(QStringList, include);
        QFETCH(QStringList, exclude);
        QFETCH(int, caseSensitive);
        QFETCH(QStringList, expected);
        QFETCH(int, result);
        UzpOptions o = Options();
        o.ListOnly = 1;
        o.CaseSensitiveFileNames = caseSensitive;
        QCOMPARE(Call(Archive("basic.zip"), QString(), o, include, exclude), result);
        QStringList paths;
        for (const Row& r : g->rows) {
            paths << QString::fromStdString(r.path);
        }
        QCOMPARE(paths, expected);
    }

    void extractsTreeModesAndTimes() {
        const QString t = FreshParent() + QStringLiteral("/new/deeper/t");  // made with parents
        QCOMPARE(Call(Archive("basic.zip"), t, Options()), 0);
        QCOMPARE(Read(t + "/a.txt"), QStringLiteral("alpha\n"));
        QCOMPARE(QFileInfo(t + "/sub/b.txt").size(), 76890);
        QCOMPARE(QFileInfo(t + "/sub/deeper/c.bin").size(), 1024);
        QCOMPARE(QFileInfo(t + "/empty.txt").size(), 0);
        QCOMPARE(ModeOf(t + "/run.sh") & 07777, mode_t(0755));
        QCOMPARE(ModeOf(t + "/a.txt") & 07777, mode_t(0644));
        const QDateTime stored(QDate(2021, 8, 31), QTime(14, 25, 36));
        QCOMPARE(QFileInfo(t + "/sub/b.txt").lastModified(), stored);
        QCOMPARE(QFileInfo(t + "/sub").lastModified(), stored);  // set after its files
        QVERIFY(g->AllMessages().find("  inflating: sub/b.txt\n") != std::string::npos);
        QVERIFY(g->AllMessages().find(" extracting: sub/deeper/c.bin\n") != std::string::npos);
        QVERIFY(g->AllMessages().find("   creating: sub/\n") != std::string::npos);
    }

    void permissionBitsWithoutSetuid() {
        const mode_t old = umask(077);  // stored bits win over the umask, as with Info-ZIP
        const QString t = FreshParent() + QStringLiteral("/t");
        const int result = Call(Archive("modes.zip"), t, Options());
        umask(old);
        QCOMPARE(result, 0);
        QCOMPARE(ModeOf(t + "/suid") & 07777, mode_t(0755));
        QCOMPARE(ModeOf(t + "/sgid_sticky") & 07777, mode_t(0775));
        QCOMPARE(ModeOf(t + "/private") & 07777, mode_t(0600));
        QCOMPARE(ModeOf(t + "/open") & 07777, mode_t(0777));
    }

    void testsWithoutWriting() {
        const QString parent = FreshParent();
        UzpOptions o = Options();
        o.TestZip = 1;
        QCOMPARE(Call(Archive("basic.zip"), parent + "/t", o), 0);
        QVERIFY(!QFileInfo::exists(parent + "/t"));
        QVERIFY(g->AllMessages().find("    testing: sub/b.txt   OK\n") != std::string::npos);
        QCOMPARE(g->service.size(), std::size_t(6));  // every file entry, before its turn
        g->messages.clear();
        QCOMPARE(Call(Archive("badcrc.zip"), parent + "/t", o), BQUZP_ERR);
        QVERIFY(g->AllMessages().find("bad CRC") != std::string::npos);
        QCOMPARE(Call(Archive("badcrc-bzip2.zip"), parent + "/t", o), BQUZP_ERR);
        QCOMPARE(Call(Archive("bzip2.zip"), parent + "/t", o), 0);
        QVERIFY(!QFileInfo::exists(parent + "/t"));
    }

    void flatWithoutFolderNames() {
        const QString t = FreshParent() + QStringLiteral("/t");
        QCOMPARE(Call(Archive("flat.zip"), t, Options(0)), 0);
        QCOMPARE(Names(t), QStringList({"one.txt", "two.txt"}));
    }

    void spacesToUnderscores() {
        const QString t = FreshParent() + QStringLiteral("/t");
        UzpOptions o = Options();
        o.SpaceToUnderScore = 1;
        QCOMPARE(Call(Archive("spaces.zip"), t, o), 0);
        QCOMPARE(Names(t), QStringList({"a_folder", "a_folder/my_file.txt"}));
    }

    void lineEnds_data() {
        QTest::addColumn<int>("convert");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("binary");
        QTest::newRow("kept") << 0 << QStringLiteral("one\r\ntwo\rthree\nfour\r\n")
                              << QStringLiteral("a\r\nb\r");
        QTest::newRow("converted")
            << 1 << QStringLiteral("one\ntwo\nthree\nfour\n") << QStringLiteral("a\r\nb\r");
    }
    void lineEnds() {
        QFETCH(int, convert);
        QFETCH(QString, text);
        QFETCH(QString, binary);
        const QString t = FreshParent() + QStringLiteral("/t");
        UzpOptions o = Options();
        o.ConvertCRToCRLF = convert;
        QCOMPARE(Call(Archive("text.zip"), t, o), 0);
        QCOMPARE(Read(t + "/dos.txt"), text);
        QCOMPARE(Read(t + "/bin.dat"), binary);
    }

    void existingFiles_data() {
        QTest::addColumn<int>("onlyNewer");
        QTest::addColumn<int>("overwrite");
        QTest::addColumn<int>("prompt");
        QTest::addColumn<int>("reply");
        QTest::addColumn<int>("existingYear");
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<int>("asked");
        QTest::newRow("kept by default") << 0 << 0 << 0 << 0 << 2019 << false << 0;
        QTest::newRow("overwrite") << 0 << 1 << 0 << 0 << 2019 << true << 0;
        QTest::newRow("prompt, no") << 0 << 0 << 1 << BQUZP_REPLACE_NO << 2019 << false << 2;
        QTest::newRow("prompt, unknown reply") << 0 << 0 << 1 << 7 << 2019 << false << 2;
        QTest::newRow("prompt, yes") << 0 << 0 << 1 << BQUZP_REPLACE_YES << 2019 << true << 2;
        QTest::newRow("prompt, all") << 0 << 0 << 1 << BQUZP_REPLACE_ALL << 2019 << true << 1;
        QTest::newRow("prompt, none") << 0 << 0 << 1 << BQUZP_REPLACE_NONE << 2019 << false << 1;
        QTest::newRow("overwrite wins over prompt") << 0 << 1 << 1 << 0 << 2019 << true << 0;
        QTest::newRow("only newer, older file") << 1 << 0 << 1 << 0 << 2019 << true << 0;
        QTest::newRow("only newer, newer file") << 1 << 1 << 0 << 0 << 2022 << false << 0;
    }
    void existingFiles() {
        QFETCH(int, onlyNewer);
        QFETCH(int, overwrite);
        QFETCH(int, prompt);
        QFETCH(int, reply);
        QFETCH(int, existingYear);
        QFETCH(bool, replaced);
        QFETCH(int, asked);
        const QString t = FreshParent() + QStringLiteral("/t");
        QDir().mkpath(t + "/x");
        QDir().mkpath(t + "/y/z");
        for (const QString& f : {t + "/x/one.txt", t + "/y/z/two.txt"}) {
            QFile file(f);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("old");
            file.flush();
            file.setFileTime(QDateTime(QDate(existingYear, 6, 1), QTime(12, 0)),
                             QFileDevice::FileModificationTime);
        }
        UzpOptions o = Options();
        o.ExtractOnlyNewer = onlyNewer;
        o.OverwriteExisting = overwrite;
        o.PromptToOverwrite = prompt;
        g->replaceReply = reply;
        // flat.zip's entries are from 2021.
        QCOMPARE(Call(Archive("flat.zip"), t, o), 0);
        QCOMPARE(Read(t + "/x/one.txt"), replaced ? QStringLiteral("1") : QStringLiteral("old"));
        QCOMPARE(Read(t + "/y/z/two.txt"), replaced ? QStringLiteral("2") : QStringLiteral("old"));
        QCOMPARE(int(g->replaceAsked.size()), asked);
        if (asked > 0) {
            QCOMPARE(QString::fromStdString(g->replaceAsked[0]), t + "/x/one.txt");
        }
    }

    void messageLevels_data() {
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("lines");
        QTest::addColumn<bool>("warnings");
        QTest::newRow("0") << 0 << true << true;
        QTest::newRow("1") << 1 << false << true;
        QTest::newRow("2") << 2 << false << false;
    }
    void messageLevels() {
        QFETCH(int, level);
        QFETCH(bool, lines);
        QFETCH(bool, warnings);
        UzpOptions o = Options();
        o.MessageLevel = level;
        QCOMPARE(Call(Archive("symlink.zip"), FreshParent() + "/t", o), BQUZP_WARN);
        const std::string all = g->AllMessages();
        QCOMPARE(all.find("inflating: ok.txt") != std::string::npos, lines);
        QCOMPARE(all.find("symbolic links") != std::string::npos, warnings);
        g->messages.clear();
        QCOMPARE(Call(Archive("badcrc.zip"), FreshParent() + "/t", o), BQUZP_ERR);
        QVERIFY(g->AllMessages().find("bad CRC") != std::string::npos);  // errors always
    }

    void serviceCallbackAndCancel() {
        const QString t = FreshParent() + QStringLiteral("/t");
        QCOMPARE(Call(Archive("basic.zip"), t, Options()), 0);
        std::vector<std::pair<std::string, std::uint32_t>> expected = {
            {"a.txt", 6},      {"sub/", 5},   {"sub/b.txt", 10},          {"sub/deeper/c.bin", 17},
            {"empty.txt", 10}, {"run.sh", 7}, {"Mixed Case Name.TXT", 20}};
        QVERIFY(g->service == expected);
        const QString u = FreshParent() + QStringLiteral("/t");
        g->service.clear();
        g->cancelAt = "sub/deeper/c.bin";
        QCOMPARE(Call(Archive("basic.zip"), u, Options()), BQUZP_CTRLC);
        QCOMPARE(g->service.size(), std::size_t(4));
        QCOMPARE(Names(u), QStringList({"a.txt", "sub", "sub/b.txt"}));
        QVERIFY(g->AllMessages().find("cancelled") != std::string::npos);
    }

    void passwords_data() {
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("asked");
        QTest::addColumn<bool>("written");
        QTest::newRow("right, asked once") << QStringList({"right"}) << 0 << 1 << true;
        QTest::newRow("wrong twice")
            << QStringList({"wrong", "wronger"}) << BQUZP_BADPWD << 2 << false;
        QTest::newRow("wrong, then right")
            << QStringList({"wrong", "right"}) << BQUZP_WARN << 2 << false;
        QTest::newRow("refused") << QStringList({"", ""}) << BQUZP_BADPWD << 2 << false;
    }
    void passwords() {
        QFETCH(QStringList, answers);
        QFETCH(int, result);
        QFETCH(int, asked);
        QFETCH(bool, written);
        for (const QString& a : answers) {
            g->passwords.push_back(a.toStdString());
        }
        const QString t = FreshParent() + QStringLiteral("/t");
        QCOMPARE(Call(Archive("trad.zip"), t, Options()), result);
        QCOMPARE(int(g->passwordAsked.size()), asked);
        QCOMPARE(QFileInfo::exists(t + "/secret.txt"), written);
        if (written) {
            QCOMPARE(QFileInfo(t + "/secret.txt").size(), 76890);
            QCOMPARE(Read(t + "/also.txt"), QStringLiteral("second secret\n"));
            QCOMPARE(ModeOf(t + "/also.txt") & 0777, mode_t(0644));
        } else {
            QVERIFY(g->AllMessages().find("password") != std::string::npos);
        }
    }

    void aesEncryption() {
        const QString archive = work_.path() + QStringLiteral("/aes.zip");
        MakeAesArchive(archive, "open sesame", "closed");
        const QString t = FreshParent() + QStringLiteral("/t");
        g->passwords = {"open sesame"};
        QCOMPARE(Call(archive, t, Options()), 0);
        QCOMPARE(Read(t + "/aes.txt"), QStringLiteral("sealed with AES-256\n"));
        const QString u = FreshParent() + QStringLiteral("/t");
        g->passwords = {"closed"};
        QCOMPARE(Call(archive, u, Options()), BQUZP_BADPWD);
        QVERIFY(!QFileInfo::exists(u + "/aes.txt"));
        // No password callback at all.
        UzpOptions o = Options();
        const QByteArray a = QFile::encodeName(archive);
        const QByteArray f = QFile::encodeName(u);
        o.ZipFile = a.constData();
        o.UnzipFolder = f.constData();
        UzpCallbacks printOnly{};
        printOnly.Print = OnPrint;
        QCOMPARE(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &o, &printOnly), BQUZP_BADPWD);
    }

    // Hostile and broken archives: a clear result, a message, and nothing outside the target.
    void hostileArchives_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("tree");
        const QStringList ok = {"ok.txt"};
        QTest::newRow("dotdot") << "dotdot.zip" << BQUZP_ERR << "\"..\"" << ok;
        QTest::newRow("dotdot inside") << "dotdot-inner.zip" << BQUZP_ERR << "\"..\"" << ok;
        QTest::newRow("absolute") << "absolute.zip" << BQUZP_ERR << "absolute path" << ok;
        QTest::newRow("backslashes") << "backslash.zip" << BQUZP_ERR << "\"..\"" << ok;
        QTest::newRow("symlink") << "symlink.zip" << BQUZP_WARN << "symbolic links"
                                 << QStringList({"link", "link/evil.txt", "ok.txt"});
        QTest::newRow("fifo and device") << "special.zip" << BQUZP_WARN << "ordinary file"
                                         << QStringList({"chardev", "fifo", "ok.txt"});
        QTest::newRow("duplicate") << "duplicate.zip" << BQUZP_ERR << "more than once"
                                   << QStringList({"dup.txt", "ok.txt"});
        QTest::newRow("file then folder")
            << "file-then-folder.zip" << BQUZP_ERR << "not a folder" << QStringList({"a"});
        QTest::newRow("folder then file")
            << "folder-then-file.zip" << BQUZP_ERR << "folder named d" << QStringList({"d"});
        QTest::newRow("overlap") << "overlap.zip" << BQUZP_BADERR << "overlaps" << QStringList();
        QTest::newRow("quoted overlap")
            << "overlap-quoted.zip" << BQUZP_BADERR << "overlaps" << QStringList();
        QTest::newRow("inflates past size") << "toolong.zip" << BQUZP_ERR << "longer than" << ok;
        QTest::newRow("ends early")
            << "tooshort.zip" << BQUZP_ERR << "ends before" << QStringList();
        QTest::newRow("declared size of the read-ahead window")
            << "window.zip" << BQUZP_ERR << "ends before" << QStringList({"first.txt", "ok.txt"});
        QTest::newRow("bad crc") << "badcrc.zip" << BQUZP_ERR << "bad CRC" << ok;
        QTest::newRow("bad crc, streamed")
            << "badcrc-bzip2.zip" << BQUZP_ERR << "CRC" << QStringList();
        QTest::newRow("bad local header") << "badlocal.zip" << BQUZP_ERR << "local header" << ok;
        QTest::newRow("local name differs")
            << "localname.zip" << BQUZP_ERR << "local header" << QStringList();
        QTest::newRow("zero byte in name") << "zerobyte.zip" << BQUZP_ERR << "zero byte" << ok;
        // One record libzip refuses costs only its own entry, named in the message.
        QTest::newRow("flagged name not UTF-8") << "badutf8-flagged.zip" << BQUZP_ERR
                                                << "bad??.txt: its central directory record" << ok;
        QTest::newRow("AES method without its field")
            << "aes-without-field.zip" << BQUZP_ERR << "aes.txt: its central directory record"
            << ok;
        QTest::newRow("long name part") << "longpart.zip" << BQUZP_ERR << "longer than" << ok;
        QTest::newRow("long path") << "longpath.zip" << BQUZP_ERR << "longer than" << ok;
        QTest::newRow("empty name") << "emptyname.zip" << BQUZP_ERR << "is empty" << ok;
        QTest::newRow("truncated")
            << "truncated.zip" << BQUZP_NOZIP << "truncated" << QStringList();
        QTest::newRow("CP437 name (not UTF-8, not flagged)")
            << "cp437.zip" << 0 << "" << QStringList({QString::fromUtf8("caf\u00e9.txt")});
    }
    void hostileArchives() {
        QFETCH(QString, archive);
        QFETCH(int, result);
        QFETCH(QString, message);
        QFETCH(QStringList, tree);
        const QString parent = FreshParent();
        const QString t = parent + QStringLiteral("/t");
        QDir().mkpath(t);
        QCOMPARE(Call(archives_ + QLatin1Char('/') + archive, t, Options()), result);
        QVERIFY2(QString::fromStdString(g->AllMessages()).contains(message),
                 g->AllMessages().c_str());
        QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList({"t"}));  // nothing beside the target
        QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/bqunzip-absolute-evil.txt")));
        QVERIFY(!QFileInfo::exists(work_.path() + QStringLiteral("/evil.txt")));
        QCOMPARE(Names(t), tree);
        for (const QString& name : tree) {
            const mode_t mode = ModeOf(t + QLatin1Char('/') + name);
            QVERIFY2(S_ISREG(mode) || S_ISDIR(mode), qPrintable(name));  // no links or FIFOs
        }
        // Testing the same archive never crashes either, and writes nothing.
        UzpOptions o = Options();
        o.TestZip = 1;
        const QString u = parent + QStringLiteral("/u");
        Call(archives_ + QLatin1Char('/') + archive, u, o);
        QVERIFY(!QFileInfo::exists(u));
    }

    void neverWritesThroughExistingLinks() {
        const QString parent = FreshParent();
        const QString outside = parent + QStringLiteral("/outside");
        const QString t = parent + QStringLiteral("/t");
        QDir().mkpath(outside);
        QDir().mkpath(t);
        QFile keep(outside + "/file");
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.write("outside");
        keep.close();
        QVERIFY(QFile::link(outside, t + "/lnk"));
        QVERIFY(QFile::link(outside + "/file", t + "/f"));
        UzpOptions o = Options();
        o.OverwriteExisting = 1;
        QCOMPARE(Call(Archive("through-link.zip"), t, o), BQUZP_ERR);
        QVERIFY(g->AllMessages().find("lnk is a file or a link") != std::string::npos);
        QCOMPARE(Names(outside), QStringList({"file"}));
        QCOMPARE(Read(outside + "/file"), QStringLiteral("outside"));
        QVERIFY(S_ISREG(ModeOf(t + "/f")));  // the link itself was replaced
        QCOMPARE(Read(t + "/f"), QStringLiteral("archive file"));
    }

    void damagedFileIsNotLeftInPlace() {
        // An older whole file of the same name stays as it was; no temporary file remains.
        const QString t = FreshParent() + QStringLiteral("/t");
        QDir().mkpath(t);
        QFile old(t + "/crc.txt");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous");
        old.close();
        UzpOptions o = Options();
        o.OverwriteExisting = 1;
        QCOMPARE(Call(Archive("badcrc-bzip2.zip"), t, o), BQUZP_ERR);
        QCOMPARE(Names(t), QStringList({"crc.txt"}));
        QCOMPARE(Read(t + "/crc.txt"), QStringLiteral("previous"));
        QCOMPARE(Call(Archive("badcrc.zip"), t, o), BQUZP_ERR);
        QCOMPARE(Read(t + "/crc.txt"), QStringLiteral("previous"));
    }

    void unwritableTarget() {
        // Root may write anywhere: the engine runs as nobody for this.
        const QString parent = FreshParent();
        QFile::setPermissions(work_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                                QFileDevice::ReadOther);
        QFile::setPermissions(parent, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                          QFileDevice::ReadOther);
        QFile::setPermissions(archives_, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                             QFileDevice::ReadOther);
        QFile::setPermissions(Archive("basic.zip"), QFileDevice::ReadOwner |
                                                        QFileDevice::WriteOwner |
                                                        QFileDevice::ReadOther);
        QString output;
        const int code =
            RunAsNobody(QStringLiteral(BQ_ENGINE_TRY),
                        {Archive("basic.zip"), parent + QStringLiteral("/t")}, &output);
        QCOMPARE(code, BQUZP_DISK);
        QVERIFY2(output.contains(QStringLiteral("Permission denied")), qPrintable(output));
        QVERIFY(!QFileInfo::exists(parent + QStringLiteral("/t")));
    }

    void manyEntriesZip64() {
        UzpOptions o = Options();
        o.ListOnly = 1;
        QCOMPARE(Call(Archive("many.zip"), QString(), o), 0);
        QCOMPARE(g->rows.size(), std::size_t(70000));
        QCOMPARE(g->rows.back().path, std::string("d49/f69999"));
        const QString t = QStringLiteral("/dev/shm/bqunzip-test-many-") + QString::number(getpid());
        QCOMPARE(Call(Archive("many.zip"), t, Options()), 0);
        QCOMPARE(Read(t + "/d49/f69999"), QStringLiteral("69999"));
        QCOMPARE(QDir(t + "/d00").entryList(QDir::Files).size(), 1400);
        QDir(t).removeRecursively();
    }

    void largeEntryIsStreamed() {
        const QString t = QStringLiteral("/dev/shm/bqunzip-test-huge-") + QString::number(getpid());
        QCOMPARE(Call(Archive("huge.zip"), t, Options()), 0);
        QCOMPARE(QFileInfo(t + "/zeros.bin").size(), qint64(80) << 20);
        QCOMPARE(ModeOf(t + "/zeros.bin") & 0777, mode_t(0644));
        QCOMPARE(QDir(t).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"zeros.bin"}));  // no temporary file left
        QDir(t).removeRecursively();
    }

    void dataDescriptors() {
        const QString t = FreshParent() + QStringLiteral("/t");
        // zip read its input from a pipe: a FIFO-marked entry with a data descriptor.
        QCOMPARE(Call(Archive("descriptor.zip"), t, Options()), BQUZP_WARN);
        QCOMPARE(Read(t + "/-"), QStringLiteral("piped data\n"));
        QVERIFY(S_ISREG(ModeOf(t + "/-")));
    }

    // Another program cuts the archive short while it is read (streamed through libzip, or read
    // ahead for the workers): a message and a result, never a crash, and no temporary file.
    void archiveCutShortWhileReadIsReported_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("cutAt");
        QTest::addColumn<QString>("missing");
        QTest::newRow("streamed") << "huge.zip"
                                  << "zeros.bin"
                                  << "zeros.bin";
        QTest::newRow("in memory") << "two-large.zip"
                                   << "big1.bin"
                                   << "big2.bin";
    }
    void archiveCutShortWhileReadIsReported() {
        QFETCH(QString, archive);
        QFETCH(QString, cutAt);
        QFETCH(QString, missing);
        const QString parent = FreshParent();
        const QString copy = parent + QStringLiteral("/copy.zip");
        QVERIFY(QFile::copy(Archive(archive.toUtf8().constData()), copy));
        const std::string cutAtName = cutAt.toStdString();
        g->onService = [&](const std::string& entry) {
            if (entry == cutAtName) {
                QCOMPARE(truncate(QFile::encodeName(copy).constData(), 100), 0);
            }
        };
        const QString t = parent + QStringLiteral("/t");
        QCOMPARE(Call(copy, t, Options()), BQUZP_EOF);
        QVERIFY2(g->AllMessages().find("was cut short or changed") != std::string::npos,
                 g->AllMessages().c_str());
        QVERIFY(!QFileInfo::exists(t + QLatin1Char('/') + missing));
        QCOMPARE(QDir(t).entryList({QStringLiteral(".bqunzip-*")}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    // The archive is read piece by piece: under an address-space limit smaller than the
    // archive, a valid archive is read whole (not "not a ZIP archive").
    void memoryFollowsEntriesNotArchive() {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer reserves more address space than the limit allows");
#endif
        const QString archive = FreshParent() + QStringLiteral("/sparse.zip");
        QProcess make;
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(BQ_MAKE_ARCHIVES), QStringLiteral("sparse"), archive,
                    QStringLiteral("700")});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("ulimit -v 600000; exec \"$0\" \"$@\""),
             QStringLiteral(BQ_ENGINE_TRY), archive, QStringLiteral("-"), QStringLiteral("test")});
        QVERIFY(run.waitForFinished(120000));
        const QByteArray output = run.readAll();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0,
                 output.constData());
        QVERIFY2(output.contains("zeros.bin   OK"), output.constData());
    }

    // Only folders this call made take a folder entry's bits and time.
    void existingFoldersKeepTheirBitsAndTime() {
        const QString t = FreshParent() + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(t + QStringLiteral("/old")));
        const QByteArray old = QFile::encodeName(t + QStringLiteral("/old"));
        QCOMPARE(chmod(old.constData(), 0700), 0);
        const struct timespec times[2] = {{946684800, 0}, {946684800, 0}};
        QCOMPARE(utimensat(AT_FDCWD, old.constData(), times, 0), 0);
        QCOMPARE(Call(Archive("folders.zip"), t, Options()), 0);
        const auto tree = FolderSnapshot(t);
        QCOMPARE(tree.at(QStringLiteral("old")).mode, 0700u);
        QCOMPARE(QFileInfo(t + QStringLiteral("/old")).lastModified().toSecsSinceEpoch(),
                 qint64(946684800));
        QCOMPARE(tree.at(QStringLiteral("new")).mode, 0750u);
        QCOMPARE(QFileInfo(t + QStringLiteral("/new")).lastModified().date(), QDate(2021, 8, 31));
    }

    // A run killed while it writes leaves no short file under the entry's name, and the next
    // run writes the entry whole.
    void fileGoesInPlaceOnlyWhole() {
        const QString t = FreshParent() + QStringLiteral("/t");
        QProcess run;
        run.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"), QStringLiteral("ulimit -f 1024; exec \"$0\" \"$@\""),
                   QStringLiteral(BQ_ENGINE_TRY), Archive("four-mib.zip"), t});
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitStatus(), QProcess::CrashExit);  // killed by SIGXFSZ mid-write
        QVERIFY(!QFileInfo::exists(t + QStringLiteral("/four.bin")));
        QCOMPARE(Call(Archive("four-mib.zip"), t, Options()), 0);
        QCOMPARE(QFileInfo(t + QStringLiteral("/four.bin")).size(), qint64(4) << 20);
    }

    // An entry kept out by a link (or anything but a file) at its place is not "kept": the
    // result says the archive did not come out whole.
    void entryKeptOutByALinkIsReported() {
        const QString t = FreshParent() + QStringLiteral("/t");
        QDir().mkpath(t);
        QVERIFY(QFile::link(QStringLiteral("/nonexistent"), t + QStringLiteral("/a.txt")));
        QCOMPARE(Call(Archive("basic.zip"), t, Options()), BQUZP_WARN);
        QVERIFY2(g->AllMessages().find("a.txt: a.txt in the target folder is a link") !=
                     std::string::npos,
                 g->AllMessages().c_str());
        QCOMPARE(FolderSnapshot(t).at(QStringLiteral("a.txt")).kind, 'l');
        QCOMPARE(Read(t + QStringLiteral("/sub/b.txt")).size(), 76890);
    }

    // Another program puts a file at an entry's place while the entry is being written: the
    // message says so, and that file is kept.
    void anotherFileAppearingIsSaid() {
        const QString t = FreshParent() + QStringLiteral("/t");
        g->passwords = {"right", "right"};
        g->onPassword = [&] {
            QFile other(t + QStringLiteral("/secret.txt"));
            if (!other.exists() && other.open(QIODevice::WriteOnly)) {
                other.write("the other program's");
            }
        };
        QCOMPARE(Call(Archive("trad.zip"), t, Options()), BQUZP_ERR);
        QVERIFY2(g->AllMessages().find("another file appeared at that place") != std::string::npos,
                 g->AllMessages().c_str());
        QCOMPARE(Read(t + QStringLiteral("/secret.txt")), QStringLiteral("the other program's"));
        QCOMPARE(Read(t + QStringLiteral("/also.txt")), QStringLiteral("second secret\n"));
        QCOMPARE(Names(t), QStringList({"also.txt", "secret.txt"}));
    }

    // The same archives give the same trees (names, kinds, bits, contents, times) as unzip.
    void sameAsInfoZip_data() {
        QTest::addColumn<QString>("archive");
        for (const char* a : {"basic.zip", "modes.zip", "spaces.zip", "unicode.zip", "bzip2.zip",
                              "trad.zip", "flat.zip", "text.zip", "newer.zip"}) {
            QTest::newRow(a) << QString::fromLatin1(a);
        }
    }
    void sameAsInfoZip() {
        QFETCH(QString, archive);
        const QString parent = FreshParent();
        g->passwords = {"right"};
        QCOMPARE(Call(archives_ + QLatin1Char('/') + archive, parent + "/engine", Options()), 0);
        QProcess unzip;
        unzip.setProcessChannelMode(QProcess::MergedChannels);
        unzip.start(QStringLiteral("unzip"),
                    {QStringLiteral("-q"), QStringLiteral("-o"), QStringLiteral("-P"),
                     QStringLiteral("right"), archives_ + QLatin1Char('/') + archive,
                     QStringLiteral("-d"), parent + QStringLiteral("/infozip")});
        QVERIFY(unzip.waitForFinished(60000));
        QCOMPARE(unzip.exitCode(), 0);
        const auto mine = Tree(parent + "/engine", true);
        const auto theirs = Tree(parent + "/infozip", true);
        for (const auto& [name, value] : theirs) {
            QVERIFY2(mine.count(name) != 0, qPrintable(QStringLiteral("missing ") + name));
            // Info-ZIP gives folders without stored bits its own defaults; files must agree.
            if (!value.startsWith(QLatin1Char('d'))) {
                QCOMPARE(mine.at(name), value);
            }
        }
        QCOMPARE(mine.size(), theirs.size());
    }
};

QTEST_GUILESS_MAIN(UnzipEngineTest)
#include "tst_unzip_engine.moc"
