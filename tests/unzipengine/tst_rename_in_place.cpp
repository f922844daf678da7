// Putting files in place on a file system that refuses the no-replace rename flag (as NFS does):
// the rename falls back to a link and an unlink, which never replaces a file either; and a whole
// extraction through the engine's entry point comes out as on any other file system.

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include "RenameInPlace.h"
#include "unzip_engine.h"

using bq::unzipengine::renameAt2Call;
using bq::unzipengine::RenameInPlace;

namespace {

int refusals = 0;
int refusedError = EINVAL;

// renameat2 as a file system that does not know RENAME_NOREPLACE answers it.
int RefusingRenameAt2(int fromFolder, const char* from, int toFolder, const char* to,
                      unsigned int flags) {
    if (flags != 0) {
        ++refusals;
        errno = refusedError;
        return -1;
    }
    return ::renameat(fromFolder, from, toFolder, to);
}

QByteArray Content(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool Write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int32_t OnPrint(const char*, uint32_t) {
    return 0;
}

}  // namespace

class RenameInPlaceTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_;

  private slots:
    void init() {
        refusals = 0;
        refusedError = EINVAL;
        renameAt2Call = RefusingRenameAt2;
    }
    void cleanup() { renameAt2Call = ::renameat2; }

    // EINVAL and ENOSYS: the new name is made, never over an existing one, and the temporary
    // name goes. Any other failure is the caller's to report.
    void fallsBackToLinkAndUnlink_data() {
        QTest::addColumn<int>("error");
        QTest::newRow("EINVAL") << EINVAL;
        QTest::newRow("ENOSYS") << ENOSYS;
    }
    void fallsBackToLinkAndUnlink() {
        QFETCH(int, error);
        refusedError = error;
        const QString folder = work_.path() + QStringLiteral("/direct-") + QString::number(error);
        QVERIFY(Write(folder + QStringLiteral("/.tmp1"), "new"));
        QVERIFY(Write(folder + QStringLiteral("/.tmp2"), "second"));
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);

        QCOMPARE(RenameInPlace(fd, ".tmp1", "book", false), 0);
        QCOMPARE(Content(folder + QStringLiteral("/book")), QByteArray("new"));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/.tmp1")));

        errno = 0;
        QCOMPARE(RenameInPlace(fd, ".tmp2", "book", false), -1);
        QCOMPARE(errno, EEXIST);
        QCOMPARE(Content(folder + QStringLiteral("/book")), QByteArray("new"));
        QCOMPARE(Content(folder + QStringLiteral("/.tmp2")), QByteArray("second"));

        QCOMPARE(RenameInPlace(fd, ".tmp2", "book", true), 0);
        QCOMPARE(Content(folder + QStringLiteral("/book")), QByteArray("second"));
        QCOMPARE(refusals, 2);

        refusedError = EACCES;
        QVERIFY(Write(folder + QStringLiteral("/.tmp3"), "third"));
        errno = 0;
        QCOMPARE(RenameInPlace(fd, ".tmp3", "other", false), -1);
        QCOMPARE(errno, EACCES);
        QVERIFY(!QFile::exists(folder + QStringLiteral("/other")));
        ::close(fd);
    }

    // The engine on such a file system: every entry comes out, a file already there is kept,
    // and no temporary name is left.
    void extractionOnAFileSystemRefusingTheFlag() {
        const QString source = work_.path() + QStringLiteral("/source");
        QVERIFY(Write(source + QStringLiteral("/a.txt"), QByteArray(5000, 'a')));
        QVERIFY(Write(source + QStringLiteral("/sub/b.txt"), "bee"));
        QVERIFY(Write(source + QStringLiteral("/kept.txt"), "from the archive"));
        QProcess zip;
        zip.setWorkingDirectory(source);
        zip.start(QStringLiteral("zip"),
                  {QStringLiteral("-qrX"), QStringLiteral("../t.zip"), QStringLiteral(".")});
        QVERIFY(zip.waitForFinished(30000));
        QCOMPARE(zip.exitCode(), 0);
        const QString target = work_.path() + QStringLiteral("/target");
        QVERIFY(Write(target + QStringLiteral("/kept.txt"), "already here"));

        const QByteArray archive = QFile::encodeName(work_.path() + QStringLiteral("/t.zip"));
        const QByteArray folder = QFile::encodeName(target);
        UzpOptions options{};
        options.UseFolderNames = 1;
        options.ZipFile = archive.constData();
        options.UnzipFolder = folder.constData();
        UzpCallbacks callbacks{};
        callbacks.Print = OnPrint;
        QCOMPARE(Wiz_SingleEntryUnzip(0, nullptr, 0, nullptr, &options, &callbacks), 0);
        QCOMPARE(refusals, 3);
        QCOMPARE(Content(target + QStringLiteral("/a.txt")), QByteArray(5000, 'a'));
        QCOMPARE(Content(target + QStringLiteral("/sub/b.txt")), QByteArray("bee"));
        QCOMPARE(Content(target + QStringLiteral("/kept.txt")), QByteArray("already here"));
        QStringList names = QDir(target).entryList(QDir::Files | QDir::Hidden);
        names.sort();
        QCOMPARE(names, (QStringList{QStringLiteral("a.txt"), QStringLiteral("kept.txt")}));
        QCOMPARE(QDir(target + QStringLiteral("/sub")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("b.txt")});
    }
};

QTEST_APPLESS_MAIN(RenameInPlaceTest)
#include "tst_rename_in_place.moc"
