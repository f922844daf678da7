// Output folders: the temporary a converter writes into (made, locked, put in place durably,
// swept when an earlier program left it), the names a folder can hold and when two names are
// one file there, on this machine's file system and on a real FAT stick mounted through FUSE.
#include "fs/FolderFileSystem.h"
#include "fs/OutputName.h"
#include "fs/OutputTemporary.h"
#include "platform/ReadWholeFile.h"
#include "support/FatStick.h"
#include "support/FileContent.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace bq;

namespace {

bool Exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

int ModeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

}  // namespace

class OutputFolderTest : public QObject {
    Q_OBJECT

  private:
    std::optional<QTemporaryDir> m_dir;
    QString P(const QString& name) const { return m_dir->filePath(name); }
    QString Folder() const { return m_dir->path(); }

  private slots:
    // Every test has a fresh folder of its own.
    void init() {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void aTemporaryIsPrivateLockedAndGoesWithItsObject() {
        int error = 0;
        std::optional<OutputTemporary> first = OutputTemporary::Create(Folder(), error);
        std::optional<OutputTemporary> second = OutputTemporary::Create(Folder() + "/", error);
        QVERIFY(first && second);
        const QString path = first->path();
        QVERIFY(QRegularExpression(QStringLiteral("^\\.brindlequill-[A-Za-z0-9]{6}\\.mobi$"))
                    .match(QFileInfo(path).fileName())
                    .hasMatch());
        QCOMPARE(QFileInfo(path).path(), Folder());
        QVERIFY(second->path() != path);
        QCOMPARE(ModeOf(path), 0600);
        // A sweep, even from this process, leaves both: they are held.
        QCOMPARE(OutputTemporary::RemoveAbandoned(Folder()), 0);
        first.reset();
        QVERIFY(!Exists(path));

        // A file put under the name since is not the object's to remove.
        const QString replaced = second->path();
        Write(P("other"), "other");
        QCOMPARE(::rename(QFile::encodeName(P("other")).constData(),
                          QFile::encodeName(replaced).constData()),
                 0);
        second->Remove();
        QCOMPARE(ReadWholeFile(replaced), QByteArray("other"));
        QVERIFY(second->path().isEmpty());

        // Its folder moved away while the converter wrote: the temporary goes from where the
        // folder is now, and a folder put in the old one's place is left alone.
        QVERIFY(QDir().mkpath(P("out")));
        std::optional<OutputTemporary> moved = OutputTemporary::Create(P("out"), error);
        QVERIFY(moved);
        const QString name = QFileInfo(moved->path()).fileName();
        QVERIFY(QDir().rename(P("out"), P("out gone")));
        QVERIFY(QDir().mkpath(P("out")));
        Write(P("out/") + name, "a book of the folder now there");
        moved.reset();
        QCOMPARE(
            QDir(P("out gone")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList());
        QCOMPARE(ReadWholeFile(P("out/") + name), QByteArray("a book of the folder now there"));
    }

    void aSweepRemovesOnlyUnheldTemporariesOfThisUser() {
        Write(P(".brindlequill-Ab12Cd.mobi"), "left by a program that ended");
        Write(P(".brindlequill-notes.mobi"), "the user's own");
        Write(P(".brindlequill-Ab12Cde.mobi"), "the user's own");
        Write(P("book.mobi"), "book");
        QVERIFY(QFile::link(P("book.mobi"), P(".brindlequill-LINK00.mobi")));
        QVERIFY(QDir(Folder()).mkdir(QStringLiteral(".brindlequill-DIR000.mobi")));
        int error = 0;
        std::optional<OutputTemporary> held = OutputTemporary::Create(Folder(), error);
        QVERIFY(held);
        const QStringList before = Entries(Folder());

        QCOMPARE(OutputTemporary::RemoveAbandoned(Folder()), 1);
        QStringList expected = before;
        expected.removeOne(QStringLiteral(".brindlequill-Ab12Cd.mobi"));
        QCOMPARE(Entries(Folder()), expected);
        QCOMPARE(ReadWholeFile(P("book.mobi")), QByteArray("book"));
    }

    void aSweepLeavesAnotherUsersTemporary() {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || nobody == nullptr) {
            QSKIP("giving a file to the user nobody needs root and that user");
        }
        Write(P(".brindlequill-NoBody.mobi"), "another user's");
        QCOMPARE(::chown(QFile::encodeName(P(".brindlequill-NoBody.mobi")).constData(),
                         nobody->pw_uid, nobody->pw_gid),
                 0);
        QCOMPARE(OutputTemporary::RemoveAbandoned(Folder()), 0);
        QVERIFY(Exists(P(".brindlequill-NoBody.mobi")));
    }

    void aReplacementPutsTheBookInPlaceWithItsMode() {
        Write(P("Dune.mobi"), "old book");
        QCOMPARE(::chmod(QFile::encodeName(P("Dune.mobi")).constData(), 0600), 0);
        int error = 0;
        std::optional<OutputTemporary> temporary = OutputTemporary::Create(Folder(), error);
        QVERIFY(temporary);
        const QString path = temporary->path();
        Write(path, "new book");  // as the converter writes it: by name, into the same file
        QVERIFY(temporary->ReplaceDurably(P("Dune.mobi"), 0644, error));
        QCOMPARE(ReadWholeFile(P("Dune.mobi")), QByteArray("new book"));
        QCOMPARE(ModeOf(P("Dune.mobi")), 0644);
        QVERIFY(temporary->path().isEmpty());
        temporary.reset();
        QCOMPARE(Entries(Folder()), QStringList{QStringLiteral("Dune.mobi")});

        // A converter that puts a new file under the name: that file is the book.
        temporary = OutputTemporary::Create(Folder(), error);
        QVERIFY(temporary);
        Write(P("written"), "newer book");
        QCOMPARE(::rename(QFile::encodeName(P("written")).constData(),
                          QFile::encodeName(temporary->path()).constData()),
                 0);
        QVERIFY(temporary->ReplaceDurably(P("Dune.mobi"), 0640, error));
        QCOMPARE(ReadWholeFile(P("Dune.mobi")), QByteArray("newer book"));
        QCOMPARE(ModeOf(P("Dune.mobi")), 0640);
    }

    void aFailedReplacementLeavesTheOutputAsItWas() {
        Write(P("Dune.mobi"), "old book");
        Write(P("elsewhere.mobi"), "elsewhere");
        int error = 0;
        std::optional<OutputTemporary> temporary = OutputTemporary::Create(Folder(), error);
        QVERIFY(temporary);
        // A link under the name is not followed to put what it points to in place.
        QVERIFY(QFile::remove(temporary->path()));
        QVERIFY(QFile::link(P("elsewhere.mobi"), temporary->path()));
        QVERIFY(!temporary->ReplaceDurably(P("Dune.mobi"), 0644, error));
        QCOMPARE(error, ELOOP);
        QCOMPARE(ReadWholeFile(P("Dune.mobi")), QByteArray("old book"));
        QVERIFY(QFile::remove(temporary->path()));

        // A folder in the way: the temporary stays the object's, and goes with it.
        temporary = OutputTemporary::Create(Folder(), error);
        QVERIFY(temporary);
        const QString path = temporary->path();
        QVERIFY(QDir(Folder()).mkpath(QStringLiteral("Folder.mobi/inside")));
        QVERIFY(!temporary->ReplaceDurably(P("Folder.mobi"), 0644, error));
        QCOMPARE(temporary->path(), path);
        QVERIFY(Exists(path));
        temporary.reset();
        QVERIFY(!Exists(path));
    }

    void namesOnThisMachinesFileSystem() {
        QCOMPARE(OutputNameProblem(Folder(), QStringLiteral("a:b?.mobi")), QString());
        QCOMPARE(OutputNameProblem(Folder(), QString(250, QLatin1Char('x')) + ".mobi"), QString());
        // Fewer than 255 characters, but more bytes than that.
        const QString accented = QString(126, QChar(0xe9)) + ".mobi";
        QCOMPARE(OutputNameProblem(Folder(), accented),
                 QStringLiteral("its output name %1 is longer than the 255 bytes a file name "
                                "may have")
                     .arg(accented));
        QVERIFY(!FolderIgnoresCase(Folder()));
        QCOMPARE(Entries(Folder()), QStringList());  // the probe left nothing behind
        QVERIFY(OutputIdentityKey(P("Dune.mobi"), false) !=
                OutputIdentityKey(P("dune.mobi"), false));
        QCOMPARE(OutputIdentityKey(P("Dune.mobi"), true), OutputIdentityKey(P("dune.mobi"), true));
        QVERIFY(QDir(Folder()).mkdir(QStringLiteral("sub")));
        QVERIFY(QFile::link(P("sub"), P("link")));
        QCOMPARE(OutputIdentityKey(P("link//../sub/Dune.mobi"), false),
                 OutputIdentityKey(P("sub/Dune.mobi"), false));
    }

    void aFatStickIgnoresCaseAndRefusesWindowsCharacters() {
        FatStick stick;
        if (!stick.skipReason().isEmpty()) {
            QSKIP(qPrintable(stick.skipReason()));
        }
        const auto unmount = qScopeGuard([&] { stick.Unmount(); });
        const QString folder = stick.path();
        QCOMPARE(FolderFileSystemOf(folder).type, QStringLiteral("fuse.fusefat"));
        QCOMPARE(FolderFileSystemOf(folder).mountPoint, folder);
        const QString beside = folder + "s";  // a name that merely starts like the mount point
        QVERIFY(QDir().mkdir(beside));
        QVERIFY(FolderFileSystemOf(beside).type != QStringLiteral("fuse.fusefat"));
        const bool ignoresCase = FolderIgnoresCase(folder);
        QVERIFY(ignoresCase);
        QTRY_COMPARE(Entries(folder), QStringList());  // the probe left nothing behind
        QCOMPARE(OutputIdentityKey(folder + "/Dune.mobi", ignoresCase),
                 OutputIdentityKey(folder + "/dune.mobi", ignoresCase));
        QCOMPARE(OutputNameProblem(folder, QStringLiteral("Dune: Messiah.mobi")),
                 QStringLiteral("its output name Dune: Messiah.mobi holds the character \":\", "
                                "which the output folder's file system (FAT) cannot store"));
        QCOMPARE(OutputNameProblem(folder, QStringLiteral("Dune\tMessiah.mobi")),
                 QStringLiteral("its output name Dune\tMessiah.mobi holds the character U+0009, "
                                "which the output folder's file system (FAT) cannot store"));
        QCOMPARE(OutputNameProblem(folder, QStringLiteral("Dune, Messiah.mobi")), QString());
    }

    void aFatStickTakesTemporariesAndTheirReplacement() {
        FatStick stick;
        if (!stick.skipReason().isEmpty()) {
            QSKIP(qPrintable(stick.skipReason()));
        }
        const auto unmount = qScopeGuard([&] { stick.Unmount(); });
        const QString folder = stick.path();
        Write(folder + "/Dune.mobi", "old book");
        Write(folder + "/.brindlequill-Ab12Cd.mobi", "left by a program that ended");
        int error = 0;
        std::optional<OutputTemporary> temporary = OutputTemporary::Create(folder, error);
        QVERIFY2(temporary, qPrintable(QString::number(error)));
        QCOMPARE(OutputTemporary::RemoveAbandoned(folder), 1);
        Write(temporary->path(), "new book");
        QVERIFY2(temporary->ReplaceDurably(folder + "/Dune.mobi", 0644, error),
                 qPrintable(QString::number(error)));
        QCOMPARE(ReadWholeFile(folder + "/Dune.mobi"), QByteArray("new book"));
        // The abandoned temporary was removed while held open, which FUSE does by renaming it to
        // .fuse_hidden* until the release of that handle reaches the file system.
        QTRY_COMPARE(Entries(folder), QStringList{QStringLiteral("Dune.mobi")});
    }
};

BQ_TEST_MAIN(OutputFolderTest)
#include "tst_output_folder.moc"
