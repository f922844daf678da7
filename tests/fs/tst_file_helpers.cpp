// The file and folder helpers on a real file system: presence tests, forced deletion, deleting
// a folder tree (links never followed, vanishing entries skipped) and writing a file only where
// none exists.
#include "fs/FileDeletion.h"
#include "fs/FileTests.h"
#include "fs/WriteBytesIfAbsent.h"
#include "platform/ReadWholeFile.h"
#include "platform/RunTimeError.h"
#include "platform/SpecialFolder.h"
#include "support/RunAs.h"
#include "support/RunTimeErrorOf.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

using namespace bq;

namespace {

void MakeFile(const QString& path, const QByteArray& content = "content", int mode = 0644) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
}

bool Exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A folder in /tmp that belongs to "nobody", for the parts of a test that run as that user.
class NobodyFolder {
  public:
    NobodyFolder() {
        QByteArray name = "/tmp/bq-nobody-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) {
            m_path = QString::fromLocal8Bit(name);
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody != nullptr) {
                m_ok = ::chown(name.constData(), nobody->pw_uid, nobody->pw_gid) == 0;
                m_uid = nobody->pw_uid;
                m_gid = nobody->pw_gid;
            }
        }
    }
    ~NobodyFolder() {
        if (!m_path.isEmpty()) {
            QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_path});
        }
    }
    bool ok() const { return m_ok; }
    const QString& path() const { return m_path; }
    void Give(const QString& path) const {
        QVERIFY(::lchown(QFile::encodeName(path).constData(), m_uid, m_gid) == 0);
    }

  private:
    QString m_path;
    bool m_ok = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

}  // namespace

class FileHelpersTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_dir;
    QString P(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

  private slots:
    void presence_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("folder");
        MakeFile(P("p/file.epub"));
        QDir().mkpath(P("p/folder"));
        QFile::link(P("p/nowhere"), P("p/dangling"));
        QFile::link(P("p/folder"), P("p/folderlink"));
        QTest::newRow("a file") << P("p/file.epub") << true << false;
        QTest::newRow("a folder") << P("p/folder") << true << true;
        QTest::newRow("a missing path") << P("p/missing") << false << false;
        QTest::newRow("the empty text") << QString() << false << false;
        QTest::newRow("a dangling link") << P("p/dangling") << false << false;
        QTest::newRow("a link to a folder") << P("p/folderlink") << true << true;
        QTest::newRow("the root folder") << QStringLiteral("/") << true << true;
        QTest::newRow("below a file") << P("p/file.epub/x") << false << false;
    }
    void presence() {
        QFETCH(QString, path);
        QFETCH(bool, present);
        QFETCH(bool, folder);
        QCOMPARE(FileIsPresent(path), present);
        QCOMPARE(FolderExists(path), folder);
    }

    void deleteFileForcedDeletesReadOnlyFiles() {
        MakeFile(P("d/readonly.mobi"), "x", 0444);
        DeleteFileForced(P("d/readonly.mobi"));
        QVERIFY(!Exists(P("d/readonly.mobi")));
    }

    void deleteFileForcedIgnoresMissingFilesAndFolders() {
        DeleteFileForced(P("d/never-there"));
        DeleteFileForced(QString());
        QDir().mkpath(P("d/sub"));
        DeleteFileForced(P("d/sub"));
        QVERIFY(FolderExists(P("d/sub")));
        QCOMPARE(RunTimeErrorOf([&] { FsoDeleteFile(P("d/never-there")); }), int(ErrFileNotFound));
    }

    void deleteFolderTreeRemovesEverything() {
        MakeFile(P("t/a.txt"));
        MakeFile(P("t/.hidden"));
        MakeFile(P("t/readonly.bin"), "r", 0444);
        MakeFile(P("t/sub/deeper/x.epub"), "x", 0400);
        MakeFile(P("t/sub/.git/config"));
        QDir().mkpath(P("t/empty"));
        QVERIFY(::mkfifo(QFile::encodeName(P("t/sub/pipe")).constData(), 0600) == 0);
        QVERIFY(::chmod(QFile::encodeName(P("t/sub/deeper")).constData(), 0500) == 0);
        QVERIFY(::chmod(QFile::encodeName(P("t/sub")).constData(), 0000) == 0);
        DeleteFolderTree(P("t"));
        QVERIFY(!Exists(P("t")));
    }

    void deleteFolderTreeOnMissingOrFilePathsDoesNothing() {
        DeleteFolderTree(P("nothing-here"));
        MakeFile(P("plain-file"));
        DeleteFolderTree(P("plain-file"));
        QVERIFY(Exists(P("plain-file")));
    }

    // A link inside the tree is removed as a link: what it points to survives whole.
    void deleteFolderTreeNeverFollowsLinks() {
        MakeFile(P("outside/keep/precious.epub"), "precious");
        MakeFile(P("outside/alone.epub"), "alone");
        MakeFile(P("tree/own.txt"));
        QVERIFY(QFile::link(P("outside/keep"), P("tree/to-folder")));
        QVERIFY(QFile::link(P("outside/alone.epub"), P("tree/to-file")));
        QDir().mkpath(P("tree/sub"));
        QVERIFY(QFile::link(P("outside"), P("tree/sub/up")));
        DeleteFolderTree(P("tree"));
        QVERIFY(!Exists(P("tree")));
        QCOMPARE(ReadWholeFile(P("outside/keep/precious.epub")), QByteArray("precious"));
        QCOMPARE(ReadWholeFile(P("outside/alone.epub")), QByteArray("alone"));
    }

    void deleteFolderTreeOnALinkRemovesOnlyTheLink() {
        MakeFile(P("target/book.epub"), "book");
        QVERIFY(QFile::link(P("target"), P("runtime-link")));
        DeleteFolderTree(P("runtime-link"));
        QVERIFY(!Exists(P("runtime-link")));
        QCOMPARE(ReadWholeFile(P("target/book.epub")), QByteArray("book"));
    }

    // A trailing separator or "/." makes the system resolve the link; the helper never does.
    void deleteFolderTreeFollowsNoLinkWhateverThePathsForm_data() {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("a separator") << QStringLiteral("/");
        QTest::newRow("two separators") << QStringLiteral("//");
        QTest::newRow("/.") << QStringLiteral("/.");
        QTest::newRow("/./ and /.") << QStringLiteral("/.//.");
    }
    void deleteFolderTreeFollowsNoLinkWhateverThePathsForm() {
        QFETCH(QString, suffix);
        QFile::remove(P("form-link"));  // left by a failed row
        MakeFile(P("kept/book.epub"), "book");
        QVERIFY(QFile::link(P("kept"), P("form-link")));
        DeleteFolderTree(P("form-link") + suffix);
        QVERIFY(!Exists(P("form-link")));
        QCOMPARE(ReadWholeFile(P("kept/book.epub")), QByteArray("book"));
    }

    // Entries deleted by someone else while the tree goes (the helper lets the message loop run
    // before each file) are skipped; the rest is still deleted.
    void deleteFolderTreeSkipsEntriesThatVanish() {
        for (int i = 0; i < 40; ++i) {
            MakeFile(P(QStringLiteral("v/f%1").arg(i)));
            MakeFile(P(QStringLiteral("v/d%1/inner").arg(i)));
        }
        bool removedBehindItsBack = false;
        QTimer::singleShot(0, this, [&] {
            removedBehindItsBack = true;
            for (int i = 0; i < 40; i += 2) {
                QFile::remove(P(QStringLiteral("v/f%1").arg(i)));
                QDir(P(QStringLiteral("v/d%1").arg(i))).removeRecursively();
            }
        });
        QCOMPARE(RunTimeErrorOf([&] { DeleteFolderTree(P("v")); }), 0);
        QVERIFY(removedBehindItsBack);
        QVERIFY(!Exists(P("v")));
    }

    void deleteFolderTreeAsAnOrdinaryUser() {
        NobodyFolder home;
        if (!home.ok()) {
            QSKIP("no user 'nobody' to run as");
        }
        const QString tree = home.path() + QStringLiteral("/tree");
        MakeFile(tree + QStringLiteral("/locked/a.epub"), "a", 0444);
        MakeFile(tree + QStringLiteral("/b.epub"), "b", 0400);
        for (const QString& p :
             {tree, tree + QStringLiteral("/locked"), tree + QStringLiteral("/locked/a.epub"),
              tree + QStringLiteral("/b.epub")}) {
            home.Give(p);
        }
        QVERIFY(::chmod(QFile::encodeName(tree + QStringLiteral("/locked")).constData(), 0500) ==
                0);
        QString output;
        QCOMPARE(
            RunAsNobody(QStringLiteral(BQ_PROBE), {QStringLiteral("delete-tree"), tree}, &output),
            0);
        QVERIFY2(!Exists(tree), qPrintable(output));

        // A folder of another user cannot be opened up: its error reaches the caller and what
        // lies in it stays.
        MakeFile(tree + QStringLiteral("/roots/keep.epub"));
        home.Give(tree);
        QCOMPARE(::chmod(QFile::encodeName(tree + QStringLiteral("/roots")).constData(), 0555), 0);
        QCOMPARE(
            RunAsNobody(QStringLiteral(BQ_PROBE), {QStringLiteral("delete-tree"), tree}, &output),
            3);
        QCOMPARE(output.trimmed(), QStringLiteral("error 70"));
        QVERIFY(Exists(tree + QStringLiteral("/roots/keep.epub")));
    }

    void writeBytesIfAbsentWritesExactly() {
        const QByteArray bytes = QByteArray("PK\x03\x04", 4) + QByteArray(70000, '\0') + "end";
        WriteBytesIfAbsent(bytes, P("new.zip"));
        QCOMPARE(ReadWholeFile(P("new.zip")), bytes);
        WriteBytesIfAbsent(QByteArray(), P("empty.zip"));
        QVERIFY(Exists(P("empty.zip")));
        QCOMPARE(QFileInfo(P("empty.zip")).size(), 0);
        const QStringList left =
            QDir(m_dir.path())
                .entryList({QStringLiteral(".bq-write-*")}, QDir::AllEntries | QDir::Hidden);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    }

    void writeBytesIfAbsentNeverTouchesAnExistingFile() {
        const QByteArray old(100000, 'o');
        MakeFile(P("existing.zip"), old, 0444);
        struct stat before {};
        ::stat(QFile::encodeName(P("existing.zip")).constData(), &before);
        WriteBytesIfAbsent("new and shorter", P("existing.zip"));
        struct stat after {};
        ::stat(QFile::encodeName(P("existing.zip")).constData(), &after);
        QCOMPARE(ReadWholeFile(P("existing.zip")), old);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QCOMPARE(after.st_mode, before.st_mode);
    }

    // Not writing through the link is right; the caller must hear that nothing was written.
    void writeBytesIfAbsentOverADanglingLinkRaisesNamingThePath() {
        QVERIFY(QFile::link(P("link-target.zip"), P("link.zip")));
        QString description;
        try {
            WriteBytesIfAbsent("data", P("link.zip"));
        } catch (const RunTimeError& e) {
            description = e.description();
        }
        QVERIFY2(description.contains(P("link.zip")), qPrintable(description));
        QVERIFY(!Exists(P("link-target.zip")));
        QVERIFY(QFileInfo(P("link.zip")).isSymLink());
    }

    void writeBytesIfAbsentIntoAFolderWithoutWritePermission() {
        NobodyFolder home;
        if (!home.ok()) {
            QSKIP("no user 'nobody' to run as");
        }
        const QString locked = home.path() + QStringLiteral("/locked");
        QVERIFY(QDir().mkpath(locked));
        home.Give(locked);
        QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
        QString output;
        QCOMPARE(RunAsNobody(QStringLiteral(BQ_PROBE),
                             {QStringLiteral("write"), locked + QStringLiteral("/calibre.zip"),
                              QStringLiteral("x")},
                             &output),
                 3);
        QCOMPARE(output.trimmed(), QStringLiteral("error 70"));
        QVERIFY(QDir(locked)
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    }

    // A write that runs out of space leaves no partial file that a later run would take as
    // whole.
    void writeBytesIfAbsentOnAFullDiskLeavesNothing() {
        const QString small = P("small-disk");
        QVERIFY(QDir().mkpath(small));
        if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=64k") != 0) {
            QSKIP("cannot mount a small file system here");
        }
        const int error = RunTimeErrorOf([&] {
            WriteBytesIfAbsent(QByteArray(1 << 20, 'z'), small + QStringLiteral("/calibre.zip"));
        });
        const QStringList left =
            QDir(small).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        ::umount(QFile::encodeName(small).constData());
        QCOMPARE(error, int(ErrPathFileAccess));
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    }

    void specialFolderPathIsTheDesktopWithASeparator() {
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QCOMPARE(SpecialFolderPath(), desktop + QLatin1Char('/'));
    }

    void readWholeFileErrors() {
        QCOMPARE(RunTimeErrorOf([&] { ReadWholeFile(P("no-such-file")); }), int(ErrFileNotFound));
        QCOMPARE(RunTimeErrorOf([&] { ReadWholeFile(m_dir.path()); }), int(ErrPathFileAccess));
        MakeFile(P("plain"));
        QCOMPARE(RunTimeErrorOf([&] { ReadWholeFile(P("plain/below")); }), int(ErrPathNotFound));
    }

    void errnoMapping_data() {
        QTest::addColumn<int>("errnoValue");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::newRow("missing") << ENOENT << 53 << "File not found";
        QTest::newRow("not a folder") << ENOTDIR << 76 << "Path not found";
        QTest::newRow("no access") << EACCES << 70 << "Permission denied";
        QTest::newRow("not permitted") << EPERM << 70 << "Permission denied";
        QTest::newRow("read-only file system") << EROFS << 70 << "Permission denied";
        QTest::newRow("invalid") << EINVAL << 5 << "Invalid procedure call or argument";
        QTest::newRow("disk full") << ENOSPC << 75 << "Path/File access error";
        QTest::newRow("a folder") << EISDIR << 75 << "Path/File access error";
    }
    void errnoMapping() {
        QFETCH(int, errnoValue);
        QFETCH(int, number);
        QFETCH(QString, description);
        QCOMPARE(ErrorNumberFromErrno(errnoValue), number);
        QCOMPARE(ErrorDescription(number), description);
    }
};

BQ_TEST_MAIN(FileHelpersTest)
#include "tst_file_helpers.moc"
