// The command line's folder listing, which keeps every name the file system holds, beside the
// window's scan, which leaves some out by design.
#include "fs/FolderScan.h"
#include "fs/FolderTreeAsIs.h"
#include "support/FileContent.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>

using namespace bq;

class FolderTreeAsIsTest : public QObject {
    Q_OBJECT

  private slots:
    // The command line's listing has every name the window's scan leaves out by design (folders
    // with "?" or control characters, names that are not UTF-8), and leaves out what it leaves
    // out (dot and tilde names, dot-folders, other endings, a folder reached twice).
    void listingKeepsEveryName() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray lib = QFile::encodeName(dir.path()) + "/lib";
        for (const char* folder : {"", "/Why?", "/tab\there", "/.dot", "/sub"}) {
            QVERIFY(QDir().mkpath(QFile::decodeName(lib + folder)));
        }
        for (const char* name :
             {"/good.epub", "/n\xff.epub", "/e\x1b[1m\n.epub", "/.hidden.epub", "/~lock.epub",
              "/notes.txt", "/Why?/q.epub", "/tab\there/t.epub", "/.dot/d.epub", "/sub/s.EPUB"}) {
            MakeFile(lib + name);
        }
        QCOMPARE(::symlink("..", (lib + "/sub/loop").constData()), 0);
        const FolderTreeAsIs tree = ListFolderTreeAsIs(lib, QStringLiteral("*.epub"));
        QVERIFY(tree.unreadable.isEmpty());
        QList<QByteArray> top = tree.files.mid(0, 3);
        std::sort(top.begin(), top.end());
        QCOMPARE(top, (QList<QByteArray>{lib + "/e\x1b[1m\n.epub", lib + "/good.epub",
                                         lib + "/n\xff.epub"}));
        QList<QByteArray> below = tree.files.mid(3);
        std::sort(below.begin(), below.end());
        QCOMPARE(below, (QList<QByteArray>{lib + "/Why?/q.epub", lib + "/sub/s.EPUB",
                                           lib + "/tab\there/t.epub"}));

        ScriptedDialogs dialogs;
        QStringList window =
            ListFilesInFolderTree(QFile::decodeName(lib), QStringLiteral("*.epub"), dialogs);
        window.sort();
        QCOMPARE(window, (QStringList{QFile::decodeName(lib + "/e\x1b[1m\n.epub"),
                                      QFile::decodeName(lib + "/good.epub"),
                                      QFile::decodeName(lib + "/sub/s.EPUB")}));
    }
};

BQ_TEST_MAIN(FolderTreeAsIsTest)
#include "tst_folder_tree_as_is.moc"
