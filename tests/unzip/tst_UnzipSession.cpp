// The unzip session on the real engine library, on archives made by independent writers
// (Python's zipfile, Info-ZIP's zip): listing against the writer's manifest, extraction of all
// and of a selection, every session option once, the password flow, cancelling, hostile
// archives seen from the session (False, a message, nothing outside the target), and a
// differential check of extracted trees against Info-ZIP's unzip.

#include "platform/RunTimeError.h"
#include "support/FolderSnapshot.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <map>

using namespace bq;

namespace {

// One row of an archive's manifest, as Python's zipfile read it.
struct ManifestRow {
    QString path;
    qint64 size = 0;
    qint64 packed = 0;
    quint32 crc = 0;
    QString date;  // yyyy-MM-ddTHH:mm
    bool encrypted = false;
};

QList<ManifestRow> ReadManifest(const QString& archive) {
    QFile file(archive + QStringLiteral(".manifest"));
    QList<ManifestRow> rows;
    if (!file.open(QIODevice::ReadOnly)) {
        return rows;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() != 6) {
            continue;
        }
        rows.append({QString::fromUtf8(f[0]), f[1].toLongLong(), f[2].toLongLong(), f[3].toUInt(),
                     QString::fromUtf8(f[4]), f[5] == "1"});
    }
    return rows;
}

using Node = SnapshotNode;

std::map<QString, Node> Tree(const QString& top) {
    return FolderSnapshot(top);
}

QString Describe(const std::map<QString, Node>& tree) {
    QStringList names;
    for (const auto& [name, node] : tree) {
        names
            << QStringLiteral("%1%2 %3").arg(QLatin1Char(node.kind)).arg(node.mode, 0, 8).arg(name);
    }
    return names.join(QLatin1Char('\n'));
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

void SetMtime(const QString& path, const QDateTime& when) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

}  // namespace

class UnzipSessionTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work;
    QString m_archives;
    QString m_absoluteTarget;  // where absolute entries would land
    int m_folderCount = 0;

    QString Archive(const char* name) const { return m_archives + QLatin1Char('/') + name; }

    // A fresh, empty, deeply nested target: entries that climb out would land in its parents.
    QString FreshTarget() {
        const QString box = m_work.path() + QStringLiteral("/box%1").arg(++m_folderCount);
        const QString target = box + QStringLiteral("/a/b/c/target");
        QDir().mkpath(target);
        return target;
    }

    // The box around a target holds nothing but the target's own folders.
    static QString OutsideTarget(const QString& target) {
        const QString box = QFileInfo(target + QStringLiteral("/../../../..")).canonicalFilePath();
        QStringList strays;
        for (const auto& [name, node] : Tree(box)) {
            if (name != QStringLiteral("a") && name != QStringLiteral("a/b") &&
                name != QStringLiteral("a/b/c") &&
                !name.startsWith(QStringLiteral("a/b/c/target"))) {
                strays << name;
            }
        }
        return strays.join(QLatin1Char(' '));
    }

    std::map<QString, Node> InfoZipTree(const QString& archive, const QStringList& extra = {}) {
        const QString out = FreshTarget();
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"),
                    QStringList{QStringLiteral("-q"), QStringLiteral("-o")} + extra +
                        QStringList{archive, QStringLiteral("-d"), out});
        unzip.waitForFinished(60000);
        return Tree(out);
    }

  private slots:
    void initTestCase() {
        QVERIFY(m_work.isValid());
        m_archives = m_work.path() + QStringLiteral("/archives");
        m_absoluteTarget = m_work.path() + QStringLiteral("/absolute-target");
        QProcess make;
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(BQ_MAKE_ARCHIVES), QStringLiteral("session"), m_archives,
                    m_absoluteTarget});
        QVERIFY(make.waitForFinished(60000));
        QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
        const QString engine =
            qEnvironmentVariable("BQ_PROGRAM_DIR") + QStringLiteral("/libbqunzip.so");
        QVERIFY2(QFileInfo::exists(engine), qPrintable(engine + " is not built"));
        mUnzip::SetEngineLibraryPath(engine);
    }

    void cleanupTestCase() { mUnzip::SetEngineLibraryPath({}); }

    void versionOfTheEngine() {
        cUnzip session;
        std::int32_t major = -1, minor = -1, revision = -1;
        QDateTime date;
        QString extra;
        session.GetVersion(major, minor, revision, date, extra);
        QVERIFY(major >= 1);
        QVERIFY(minor >= 0 && revision >= 0);
        QCOMPARE(extra, QStringLiteral("bqunzip   "));
    }

    void listingMatchesTheWriter_data() {
        QTest::addColumn<QString>("archive");
        QTest::newRow("plain") << "plain.zip";
        QTest::newRow("encrypted") << "encrypted.zip";
        QTest::newRow("1030 entries") << "many.zip";
    }
    void listingMatchesTheWriter() {
        QFETCH(QString, archive);
        const QString path = m_archives + QLatin1Char('/') + archive;
        QList<ManifestRow> files;
        for (const ManifestRow& row : ReadManifest(path)) {
            if (!row.path.endsWith(QLatin1Char('/'))) {
                files << row;
            }
        }
        QVERIFY(!files.isEmpty());
        cUnzip session;
        session.ZipFile(path);
        session.Directory();
        QCOMPARE(session.FileCount(), files.size());
        for (int i = 1; i <= session.FileCount(); ++i) {
            const ManifestRow& row = files.at(i - 1);
            const QString folder = session.FileDirectory(i);
            const QString listed = folder.isEmpty()
                                       ? session.Filename(i)
                                       : folder + QLatin1Char('/') + session.Filename(i);
            QCOMPARE(listed, row.path);
            QCOMPARE(session.FileSize(i), row.size);
            QCOMPARE(quint32(session.FileCRC(i)), row.crc);
            QCOMPARE(session.FileDate(i).toString(QStringLiteral("yyyy-MM-ddTHH:mm")), row.date);
            QCOMPARE(session.FileEncrypted(i), row.encrypted);
            QCOMPARE(session.FileSelected(i), true);
            // The ratio is rounded to whole per cents: the packed size comes out within 1 % of
            // the size (and within a byte for small entries).
            const qint64 packed = session.FilePackedSize(i);
            QVERIFY2(
                qAbs(packed - row.packed) <= row.size / 100 + 1,
                qPrintable(
                    QStringLiteral("%1: %2 against %3").arg(row.path).arg(packed).arg(row.packed)));
            QVERIFY(!session.FileCompressionMethod(i).isEmpty());
        }
    }

    void listingNamesTheMethods() {
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.Directory();
        QHash<QString, QString> methods;
        for (int i = 1; i <= session.FileCount(); ++i) {
            methods[session.Filename(i)] = session.FileCompressionMethod(i);
        }
        QCOMPARE(methods.value(QStringLiteral("stored.bin")), QStringLiteral("Stored"));
        QVERIFY(methods.value(QStringLiteral("c.bin")).startsWith(QStringLiteral("Defl:")));
    }

    void listingWithoutArchiveReportsAndAddsNothing() {
        cUnzip session;
        QStringList messages;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { messages << m; });
        session.Directory();  // an empty path goes to the engine, which reports it
        QCOMPARE(session.FileCount(), 0);
        QVERIFY(!messages.isEmpty());
        session.ZipFile(Archive("notazip.zip"));
        session.Directory();
        QCOMPARE(session.FileCount(), 0);
    }

    void extractingAllMatchesInfoZip_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << "plain.zip"
                               << "";
        QTest::newRow("encrypted") << "encrypted.zip"
                                   << "secret";
        QTest::newRow("1030 entries") << "many.zip"
                                      << "";
    }
    void extractingAllMatchesInfoZip() {
        QFETCH(QString, archive);
        QFETCH(QString, password);
        const QString path = m_archives + QLatin1Char('/') + archive;
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(path);
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        connect(&session, &cUnzip::PasswordRequest, this,
                [&](QString& sPassword, bool&) { sPassword = password; });
        QVERIFY(session.Unzip());
        const auto ours = Tree(target);
        const auto theirs = InfoZipTree(
            path, password.isEmpty() ? QStringList{} : QStringList{QStringLiteral("-P"), password});
        if (!(ours == theirs)) {
            QFAIL(qPrintable(
                QStringLiteral("session:\n%1\nunzip:\n%2").arg(Describe(ours), Describe(theirs))));
        }
        if (archive == QStringLiteral("plain.zip")) {
            QVERIFY(ours.at(QStringLiteral("run.sh")).mode & S_IXUSR);
        }
    }

    void extractingASelection() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.Directory();
        QStringList kept;
        for (int i = 1; i <= session.FileCount(); ++i) {
            const bool keep =
                session.Filename(i) == QStringLiteral("a.txt") ||
                session.Filename(i) == QStringLiteral("c.bin") ||
                session.Filename(i) == QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac.txt");
            session.FileSelected(i, keep);
        }
        QVERIFY(session.Unzip());
        QStringList files;
        for (const auto& [name, node] : Tree(target)) {
            if (node.kind == 'f') {
                files << name;
            }
        }
        QCOMPARE(files,
                 (QStringList{"a.txt",
                              QString::fromUtf8("d\xc3\xa9j\xc3\xa0/\xe6\x97\xa5\xe6\x9c\xac.txt"),
                              "sub/deeper/c.bin"}));
    }

    void withoutFolderNamesEverythingLandsInTheTarget() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UnzipFolder(target);
        QVERIFY(session.Unzip());
        const auto tree = Tree(target);
        for (const auto& [name, node] : tree) {
            QVERIFY2(node.kind == 'f' && !name.contains(QLatin1Char('/')), qPrintable(name));
        }
        QCOMPARE(ReadAll(target + QStringLiteral("/b.txt")), QByteArray("bravo ").repeated(1000));
        QVERIFY(tree.count(QStringLiteral("c.bin")) == 1);
    }

    void testZipWritesNothing() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UnzipFolder(target);
        session.UseFolderNames(true);
        session.TestZip(true);
        QVERIFY(session.Unzip());
        QVERIFY(Tree(target).empty());
        session.ZipFile(Archive("badcrc.zip"));
        QStringList messages;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { messages << m; });
        QVERIFY(!session.Unzip());
        QVERIFY(!messages.filter(QStringLiteral("damaged.txt")).isEmpty());
        QVERIFY(Tree(target).empty());
    }

    void existingFilesAndTheOverwriteOptions() {
        // Default: an existing file is kept and nobody is asked.
        const QString target = FreshTarget();
        WriteAll(target + QStringLiteral("/a.txt"), "mine\n");
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        int asked = 0;
        connect(&session, &cUnzip::OverwritePrompt, this,
                [&](const QString&, std::int32_t&) { ++asked; });
        session.Unzip();
        QCOMPARE(asked, 0);
        QCOMPARE(ReadAll(target + QStringLiteral("/a.txt")), QByteArray("mine\n"));
        QCOMPARE(ReadAll(target + QStringLiteral("/run.sh")), QByteArray("#!/bin/sh\necho run\n"));

        // OverwriteExisting: replaced without asking.
        session.OverwriteExisting(true);
        QVERIFY(session.Unzip());
        QCOMPARE(asked, 0);
        QCOMPARE(ReadAll(target + QStringLiteral("/a.txt")), QByteArray("alpha\n"));
    }

    void promptToOverwriteAsksForEachExistingFile() {
        const QString target = FreshTarget();
        WriteAll(target + QStringLiteral("/a.txt"), "mine\n");
        WriteAll(target + QStringLiteral("/sub/b.txt"), "mine too\n");
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.PromptToOverwrite(true);
        QStringList asked;
        connect(&session, &cUnzip::OverwritePrompt, this,
                [&](const QString& sFIle, std::int32_t& eResponse) {
                    asked << sFIle;
                    QCOMPARE(eResponse, 100);
                    if (sFIle.endsWith(QStringLiteral("/a.txt"))) {
                        eResponse = 102;  // replace this one
                    }
                });
        session.Unzip();
        QCOMPARE(asked, (QStringList{target + QStringLiteral("/a.txt"),
                                     target + QStringLiteral("/sub/b.txt")}));
        QCOMPARE(ReadAll(target + QStringLiteral("/a.txt")), QByteArray("alpha\n"));
        QCOMPARE(ReadAll(target + QStringLiteral("/sub/b.txt")), QByteArray("mine too\n"));
    }

    void extractOnlyNewerKeepsNewerFiles() {
        const QString target = FreshTarget();
        WriteAll(target + QStringLiteral("/a.txt"), "newer\n");
        WriteAll(target + QStringLiteral("/run.sh"), "older\n");
        SetMtime(target + QStringLiteral("/a.txt"), QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
        SetMtime(target + QStringLiteral("/run.sh"), QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.ExtractOnlyNewer(true);
        session.Unzip();
        QCOMPARE(ReadAll(target + QStringLiteral("/a.txt")), QByteArray("newer\n"));
        QCOMPARE(ReadAll(target + QStringLiteral("/run.sh")), QByteArray("#!/bin/sh\necho run\n"));
        QCOMPARE(ReadAll(target + QStringLiteral("/empty.txt")), QByteArray());  // missing: made
    }

    void spaceToUnderScoreRenames() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.SpaceToUnderScore(true);
        QVERIFY(session.Unzip());
        QCOMPARE(ReadAll(target + QStringLiteral("/name_with_spaces.txt")), QByteArray("spaces\n"));
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/name with spaces.txt")));
    }

    void convertCRToCRLFGivesThisSystemsLineEnds() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.ConvertCRToCRLF(true);
        QVERIFY(session.Unzip());
        QCOMPARE(ReadAll(target + QStringLiteral("/lines.txt")), QByteArray("one\ntwo\nthree\n"));
        // Binary entries are left alone.
        QCOMPARE(ReadAll(target + QStringLiteral("/stored.bin")),
                 QByteArray("\x00\x01\x02stored", 9).repeated(50));
    }

    void caseSensitiveFileNamesDecidesMatching_data() {
        QTest::addColumn<bool>("caseSensitive");
        QTest::addColumn<bool>("found");
        QTest::newRow("either case") << false << true;
        QTest::newRow("case sensitive") << true << false;
    }
    void caseSensitiveFileNamesDecidesMatching() {
        QFETCH(bool, caseSensitive);
        QFETCH(bool, found);
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.CaseSensitiveFileNames(caseSensitive);
        UnzipOptions options = session.Options();
        options.ZipFile = Archive("plain.zip");
        options.UnzipFolder = target;
        options.UseFolderNames = 1;
        QStringList names{QStringLiteral("upper.txt")};
        std::int32_t count = 1;
        std::int32_t none = 0;
        QStringList excludes;
        const std::int32_t result = mUnzip::VBUnzip(session, options, count, names, none, excludes);
        QCOMPARE(result == 0, found);
        QCOMPARE(QFileInfo::exists(target + QStringLiteral("/Upper.TXT")), found);
    }

    void messageLevelDecidesWhatIsHeard() {
        QStringList heard[3];
        for (int level = 0; level <= 2; level += 2) {
            cUnzip session;
            session.ZipFile(Archive("plain.zip"));
            session.UseFolderNames(true);
            session.UnzipFolder(FreshTarget());
            session.MessageLevel(level);
            connect(&session, &cUnzip::Progress, this,
                    [&, level](std::int32_t lCount, const QString& m) {
                        QCOMPARE(lCount, 1);
                        heard[level] << m;
                    });
            QVERIFY(session.Unzip());
        }
        QVERIFY(!heard[0].filter(QStringLiteral("sub/deeper/c.bin")).isEmpty());
        QVERIFY(heard[2].isEmpty());
    }

    void cancelStopsBeforeTheNextEntry() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("plain.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        QStringList asked;
        QStringList events;
        connect(&session, &cUnzip::Cancel, this, [&](const QString& sMsg, bool& bCancel) {
            QCOMPARE(bCancel, false);
            asked << sMsg;
            events << QStringLiteral("Cancel ") + sMsg;
            bCancel = sMsg == QStringLiteral("sub/deeper/c.bin");
        });
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { events << m.trimmed(); });
        QVERIFY(!session.Unzip());
        QCOMPARE(asked.first(), QStringLiteral("a.txt"));
        QCOMPARE(asked.last(), QStringLiteral("sub/deeper/c.bin"));
        QVERIFY(QFileInfo::exists(target + QStringLiteral("/a.txt")));
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/sub/deeper/c.bin")));
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/run.sh")));  // after the stop
        // Each entry is asked about before the engine says it wrote it.
        const qsizetype question = events.indexOf(QStringLiteral("Cancel a.txt"));
        const qsizetype written =
            events.indexOf(QRegularExpression(QStringLiteral(".*: a\\.txt$")), question + 1);
        QVERIFY2(question >= 0 && written > question, qPrintable(events.join(QLatin1Char('|'))));
    }

    void passwordFlow_data() {
        QTest::addColumn<QStringList>("answers");  // one per request; "!" cancels
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("secretsWritten");
        QTest::addColumn<int>("maxAsked");
        QTest::newRow("right password") << QStringList{"secret"} << true << true << 1;
        QTest::newRow("blanks around it") << QStringList{"  secret "} << true << true << 1;
        QTest::newRow("wrong each time")
            << QStringList{"wrong", "wrong", "wrong"} << false << false << 2;
        QTest::newRow("refused") << QStringList{""} << false << false << 1;
        QTest::newRow("cancelled") << QStringList{"!"} << false << false << 1;
    }
    void passwordFlow() {
        QFETCH(QStringList, answers);
        QFETCH(bool, success);
        QFETCH(bool, secretsWritten);
        QFETCH(int, maxAsked);
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("encrypted.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        int asked = 0;
        connect(&session, &cUnzip::PasswordRequest, this, [&](QString& sPassword, bool& bCancel) {
            const QString answer = answers.value(asked++, QStringLiteral("wrong"));
            if (answer == QStringLiteral("!")) {
                sPassword = QStringLiteral("secret");
                bCancel = true;
            } else {
                sPassword = answer;
            }
        });
        QStringList messages;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { messages << m; });
        QCOMPARE(session.Unzip(), success);
        QVERIFY(asked >= 1 && asked <= maxAsked);
        QCOMPARE(QFileInfo::exists(target + QStringLiteral("/secret1.txt")), secretsWritten);
        QCOMPARE(QFileInfo::exists(target + QStringLiteral("/secret2.txt")), secretsWritten);
        QCOMPARE(ReadAll(target + QStringLiteral("/open.txt")), QByteArray("not encrypted\n"));
        if (secretsWritten) {
            QCOMPARE(ReadAll(target + QStringLiteral("/secret2.txt")), QByteArray("second\n"));
        } else {
            QVERIFY(!messages.isEmpty());
        }
    }

    void passwordWithoutHandlerIsRefused() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("encrypted.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        QVERIFY(!session.Unzip());
        QVERIFY(mUnzip::PasswordCancelled());
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/secret1.txt")));
        QVERIFY(QFileInfo::exists(target + QStringLiteral("/open.txt")));
    }

    void hostileArchivesFailSafely_data() {
        QTest::addColumn<QString>("archive");
        QTest::newRow("dot-dot parts") << "traversal.zip";
        QTest::newRow("absolute path") << "absolute.zip";
        QTest::newRow("backslash traversal") << "backslash.zip";
        QTest::newRow("symbolic links") << "symlink.zip";
        QTest::newRow("FIFO and device") << "special.zip";
        QTest::newRow("duplicate names") << "duplicate.zip";
        QTest::newRow("file and folder of one name") << "fileandfolder.zip";
        QTest::newRow("bad CRC") << "badcrc.zip";
        QTest::newRow("truncated") << "truncated.zip";
        QTest::newRow("not a ZIP") << "notazip.zip";
        QTest::newRow("overlapping entries") << "overlap.zip";
    }
    void hostileArchivesFailSafely() {
        QFETCH(QString, archive);
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(m_archives + QLatin1Char('/') + archive);
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        QStringList messages;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { messages << m; });
        QCOMPARE(session.Unzip(), false);
        QVERIFY(!messages.isEmpty());
        QCOMPARE(OutsideTarget(target), QString());
        QVERIFY(!QFileInfo::exists(m_absoluteTarget));
        for (const auto& [name, node] : Tree(target)) {
            // Only plain files and folders, never a link, FIFO or device, never setuid.
            QVERIFY2(node.kind == 'f' || node.kind == 'd', qPrintable(name));
            QVERIFY2((node.mode & 07000) == 0, qPrintable(name));
            QVERIFY2(!node.contents.startsWith("evil") || !name.contains(QStringLiteral("..")),
                     qPrintable(name));
        }
        // The damaged entry is not left in place as if whole.
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/damaged.txt")));
    }

    void setuidBitsAreNeverRestored() {
        const QString target = FreshTarget();
        cUnzip session;
        session.ZipFile(Archive("setuid.zip"));
        session.UseFolderNames(true);
        session.UnzipFolder(target);
        session.Unzip();
        struct stat st {};
        QCOMPARE(lstat(QFile::encodeName(target + QStringLiteral("/tool")).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07000, 0u);
        QVERIFY(st.st_mode & S_IXUSR);  // the execute bits stay
        if (lstat(QFile::encodeName(target + QStringLiteral("/sticky")).constData(), &st) == 0) {
            QCOMPARE(st.st_mode & 07000, 0u);
        }
    }

    void missingArchiveIsAFailureWithAMessage() {
        cUnzip session;
        session.ZipFile(m_work.path() + QStringLiteral("/no such archive.zip"));
        session.UnzipFolder(FreshTarget());
        QStringList messages;
        connect(&session, &cUnzip::Progress, this,
                [&](std::int32_t, const QString& m) { messages << m; });
        QVERIFY(!session.Unzip());
        QVERIFY(!messages.filter(QStringLiteral("no such archive.zip")).isEmpty());
    }

    void unwritableTargetIsAFailure() {
        if (geteuid() != 0) {
            QSKIP("needs root to switch to an unprivileged user");
        }
        // As an unprivileged user, through unzip-one (the same session code).
        const QString target = FreshTarget();
        QFile::setPermissions(m_archives + QStringLiteral("/plain.zip"),
                              QFileDevice::ReadOwner | QFileDevice::ReadOther);
        const QString unzipOne =
            qEnvironmentVariable("BQ_PROGRAM_DIR") + QStringLiteral("/unzip-one");
        if (!QFileInfo::exists(unzipOne)) {
            QSKIP("unzip-one is not built");
        }
        // The test's own folders (and only they) must be passable for "nobody".
        const QString work = QFileInfo(m_work.path()).canonicalFilePath();
        for (QString dir = QFileInfo(target).canonicalFilePath();
             dir.startsWith(work + QLatin1Char('/')) || dir == work; dir = QFileInfo(dir).path()) {
            QVERIFY(chmod(QFile::encodeName(dir).constData(), 0755) == 0);
        }
        QVERIFY(chmod(QFile::encodeName(m_archives).constData(), 0755) == 0);
        QVERIFY(chmod(QFile::encodeName(target).constData(), 0555) == 0);
        // A few times over: every entry fails at once, which is when the engine gives up
        // early and must still wind down cleanly.
        for (int attempt = 0; attempt < 5; ++attempt) {
            QProcess run;
            run.setProcessChannelMode(QProcess::MergedChannels);
            run.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                       QStringLiteral("--clear-groups"), unzipOne, Archive("plain.zip"), target});
            QVERIFY(run.waitForFinished(30000));
            const QByteArray output = run.readAll();
            QVERIFY2(run.exitStatus() == QProcess::NormalExit,
                     qPrintable(QStringLiteral("unzip-one crashed: ") + run.errorString()));
            QVERIFY2(run.exitCode() == 1, output.constData());  // the session said False
            QVERIFY2(output.contains("a.txt") && output.contains("Permission denied"),
                     output.constData());
        }
        QVERIFY(Tree(target).empty());
    }
};

QTEST_GUILESS_MAIN(UnzipSessionTest)
#include "tst_UnzipSession.moc"
