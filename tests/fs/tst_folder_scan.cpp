// The folder tree scan on trees the test builds: the order (top folder first, then breadth-first
// by depth), every skip rule (tilde and dot files, dot-folders, unreadable folders and files,
// FIFOs, devices, names that are not valid UTF-8, link loops and folders reached twice), the name
// patterns, the name array's forms, and FileExistsChecked.
#include "fs/FolderScan.h"
#include "fs/NamePattern.h"
#include "support/RunAs.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace bq;

namespace {

void MakeFile(const QString& path, mode_t mode = 0644) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("x");
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

void Link(const QString& target, const QString& link) {
    QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()),
             0);
}

// The files of the scan below `top`, relative to it.
QStringList Relative(const QStringList& paths, const QString& top) {
    QStringList relative;
    for (const QString& path : paths) {
        relative << (path.startsWith(top + QLatin1Char('/')) ? path.mid(top.size() + 1)
                                                             : QStringLiteral("outside:") + path);
    }
    return relative;
}

// A folder in /tmp that other users can enter (the test's own temporary folder is private).
class OpenFolder {
  public:
    OpenFolder() {
        QByteArray name = "/tmp/bq-scan-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) {
            ::chmod(name.constData(), 0755);
            m_path = QString::fromLocal8Bit(name);
        }
    }
    ~OpenFolder() {
        if (!m_path.isEmpty()) {
            QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_path});
        }
    }
    const QString& path() const { return m_path; }

  private:
    QString m_path;
};

}  // namespace

class FolderScanTest : public QObject {
    Q_OBJECT

  private:
    // The tree every scan test walks:
    //   top/ a.epub C.EPUB b.txt ~$lock.epub .hidden.epub fifo.epub (FIFO) <bad>.epub (not UTF-8)
    //   top/sub1/ c.epub    top/sub1/deeper/ d.epub    top/sub2/ e.epub  back -> ../sub1
    //   top/.git/ f.epub    top/loop -> . (link loop)  top/<bad>/ g.epub
    //   top/locked/ h.epub (mode 700: unreadable for others)  top/sub2/secret.epub (mode 600)
    //   top/outside -> another folder with o.epub (a link to a folder is followed)
    void BuildTree(const QString& top, const QString& other) {
        for (const char* name :
             {"a.epub", "C.EPUB", "b.txt", "~$lock.epub", ".hidden.epub", "sub1/c.epub",
              "sub1/deeper/d.epub", "sub2/e.epub", ".git/f.epub", "locked/h.epub"}) {
            MakeFile(top + QLatin1Char('/') + QLatin1String(name));
        }
        MakeFile(top + QStringLiteral("/sub2/secret.epub"), 0600);
        MakeFile(other + QStringLiteral("/o.epub"));
        QCOMPARE(::mkfifo(QFile::encodeName(top + QStringLiteral("/fifo.epub")).constData(), 0644),
                 0);
        const QByteArray bad = QFile::encodeName(top) + "/\xff\xfe";
        QCOMPARE(::close(::open((bad + ".epub").constData(), O_CREAT | O_WRONLY, 0644)), 0);
        QCOMPARE(::mkdir(bad.constData(), 0755), 0);
        QCOMPARE(::close(::open((bad + "/g.epub").constData(), O_CREAT | O_WRONLY, 0644)), 0);
        Link(QStringLiteral("."), top + QStringLiteral("/loop"));
        Link(QStringLiteral("../sub1"), top + QStringLiteral("/sub2/back"));
        Link(other, top + QStringLiteral("/outside"));
        QCOMPARE(::chmod(QFile::encodeName(top + QStringLiteral("/locked")).constData(), 0700), 0);
    }

    // Checks the order rules on a scan's result: each folder's files together, the top folder's
    // first, then the folders one level down, then two levels down.
    static void CheckBreadthFirst(const QStringList& relative) {
        int lastDepth = 0;
        for (const QString& path : relative) {
            const int depth = static_cast<int>(path.count(QLatin1Char('/')));
            QVERIFY2(depth >= lastDepth, qPrintable(relative.join(QLatin1Char(' '))));
            lastDepth = depth;
        }
    }

  private slots:
    void theTreeAsSomebodyElse() {
        OpenFolder base;
        QVERIFY(!base.path().isEmpty());
        const QString top = base.path() + QStringLiteral("/top");
        BuildTree(top, base.path() + QStringLiteral("/other"));
        QString output;
        QElapsedTimer timer;
        timer.start();
        const int code =
            RunAsNobody(QStringLiteral(BQ_PROBE),
                        {QStringLiteral("scan"), top, QStringLiteral("*.epub")}, &output);
        QVERIFY2(code == 0, qPrintable(output));
        QVERIFY2(timer.elapsed() < 30000, "the scan blocked");  // a FIFO opened would hang
        QStringList paths;
        QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.takeLast(), QStringLiteral("ok"));
        for (const QString& line : std::as_const(lines)) {
            QVERIFY2(line.startsWith(QStringLiteral("file ")), qPrintable(output));
            paths << line.mid(5);
        }
        const QStringList relative = Relative(paths, top);
        // Unreadable folder and file, dot-folder, dot-file, tilde file, FIFO, undecodable names,
        // the loop and the second way into sub1 all stay out; the linked folder's file comes in.
        QStringList sorted = relative;
        sorted.sort();
        QCOMPARE(sorted, (QStringList{"C.EPUB", "a.epub", "outside/o.epub", "sub1/c.epub",
                                      "sub1/deeper/d.epub", "sub2/e.epub"}));
        CheckBreadthFirst(relative);
    }

    void theTreeAsItsOwner() {
        OpenFolder base;
        const QString top = base.path() + QStringLiteral("/top");
        BuildTree(top, base.path() + QStringLiteral("/other"));
        ScriptedDialogs dialogs;
        QStringList relative =
            Relative(ListFilesInFolderTree(top, QStringLiteral("*.*"), dialogs), top);
        QCOMPARE(dialogs.boxes.size(), 0);
        CheckBreadthFirst(relative);
        QCOMPARE(relative.size(),
                 QSet<QString>(relative.begin(), relative.end()).size());  // nothing listed twice
        relative.sort();
        QCOMPARE(relative, (QStringList{"C.EPUB", "a.epub", "b.txt", "locked/h.epub",
                                        "outside/o.epub", "sub1/c.epub", "sub1/deeper/d.epub",
                                        "sub2/e.epub", "sub2/secret.epub"}));

        // "*." followed by an extension with a leading dot matches nothing here.
        QVERIFY(ListFilesInFolderTree(top, QStringLiteral("*..epub"), dialogs).isEmpty());
        // The folder given is always scanned, even a dot-folder; a trailing "/" makes no double.
        QCOMPARE(ListFilesInFolderTree(top + QStringLiteral("/.git/"), QStringLiteral("*.epub"),
                                       dialogs),
                 QStringList{top + QStringLiteral("/.git/f.epub")});
        // A top folder that does not exist gives nothing.
        QVERIFY(ListFilesInFolderTree(top + QStringLiteral("/none"), QStringLiteral("*.*"), dialogs)
                    .isEmpty());
    }

    void subFoldersBreadthFirstByDepth() {
        QTemporaryDir dir;
        const QString top = dir.path();
        for (const char* name : {"a/x/deep/f", "b/y/f", "a/z/f", "b/f"}) {
            MakeFile(top + QLatin1Char('/') + QLatin1String(name));
        }
        ScriptedDialogs dialogs;
        QStringList folders{top + QLatin1Char('/')};
        GetSubDirectories2016(folders, true, dialogs);
        const QStringList relative = Relative(folders, top);
        // The top, its two folders, their three, then the one three levels down.
        QCOMPARE(relative.size(), 7);
        QCOMPARE(relative.front(), QString());
        QCOMPARE(QSet<QString>(relative.begin() + 1, relative.begin() + 3),
                 (QSet<QString>{"a/", "b/"}));
        QCOMPARE(QSet<QString>(relative.begin() + 3, relative.begin() + 6),
                 (QSet<QString>{"a/x/", "a/z/", "b/y/"}));
        QCOMPARE(relative.back(), QStringLiteral("a/x/deep/"));
        // Level two is grouped by parent, in the parents' order.
        const bool aFirst = relative.at(1) == QStringLiteral("a/");
        QCOMPARE(relative.at(aFirst ? 5 : 3), QStringLiteral("b/y/"));

        QStringList oneLevel{top + QLatin1Char('/')};
        GetSubDirectories2016(oneLevel, false, dialogs);
        QCOMPARE(oneLevel.size(), 3);
    }

    void namePatterns_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("extension") << "*.epub"
                                   << "book.epub" << true;
        QTest::newRow("letter case is ignored") << "*.epub"
                                                << "BOOK.EPUB" << true;
        QTest::newRow("another extension") << "*.epub"
                                           << "book.epub.txt" << false;
        QTest::newRow("*.* matches a name without a dot") << "*.*"
                                                          << "README" << true;
        QTest::newRow("*.* matches a dot-file") << "*.*"
                                                << ".x" << true;
        QTest::newRow("two dots in a row") << "*..epub"
                                           << "a.epub" << false;
        QTest::newRow("two dots in a row, present") << "*..epub"
                                                    << "a..epub" << true;
        QTest::newRow("question mark is one character") << "?.txt"
                                                        << "a.txt" << true;
        QTest::newRow("question mark is not none") << "?.txt"
                                                   << ".txt" << false;
        QTest::newRow("star in the middle") << "a*z.doc"
                                            << "abcz.doc" << true;
        QTest::newRow("star needs the rest") << "a*z.doc"
                                             << "abc.doc" << false;
        QTest::newRow("non-ASCII case") << "*.ÉPUB"
                                        << "livre.épub" << true;
    }
    void namePatterns() {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(NamePattern(pattern).Matches(name), matches);
    }

    void unusualCharacters_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("unusual");
        QTest::newRow("plain") << "Books 2021 and more" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("tab") << "a\tb" << true;
        QTest::newRow("question mark") << "what?" << true;
        QTest::newRow("delete") << QStringLiteral("a\u007fb") << true;
        QTest::newRow("C1 control 150") << QStringLiteral("a\u0096b") << true;
        QTest::newRow("160 is fine") << QStringLiteral("a\u00a0b") << false;
        QTest::newRow("non-ASCII letters") << QStringLiteral("Bücher 本") << false;
    }
    void unusualCharacters() {
        QFETCH(QString, name);
        QFETCH(bool, unusual);
        QCOMPARE(HasUnusualCharacters(name), unusual);
    }

    void nameArrayForms() {
        QTemporaryDir dir;
        for (int i = 0; i < 150; ++i) {
            MakeFile(dir.path() + QStringLiteral("/f%1.epub").arg(i));
        }
        MakeFile(dir.path() + QStringLiteral("/other.txt"));
        QDir().mkpath(dir.path() + QStringLiteral("/folder.epub"));
        const NameArray names = ListFilesInFolder(dir.path(), QStringLiteral("*.epub"));
        QCOMPARE(names.LBound(), 1);
        QCOMPARE(names.UBound(), 150);
        QCOMPARE(QSet<QString>(names.Names().begin(), names.Names().end()).size(), 150);
        QVERIFY(!names.Names().contains(QStringLiteral("folder.epub")));

        const NameArray none = ListFilesInFolder(dir.path(), QStringLiteral("*.mobi"));
        QCOMPARE(none.LBound(), 0);
        QCOMPARE(none.UBound(), 0);
        QCOMPARE(none.At(0), QString());
        QCOMPARE(ListFilesInFolder(dir.path() + QStringLiteral("/missing"), QStringLiteral("*.*"))
                     .UBound(),
                 0);
    }

    void fileExistsChecked() {
        QTemporaryDir dir;
        const QString file = dir.path() + QStringLiteral("/f.epub");
        MakeFile(file, 0444);
        QVERIFY(FileExistsChecked(file));
        QVERIFY(!FileExistsChecked(dir.path()));
        QVERIFY(!FileExistsChecked(dir.path() + QStringLiteral("/missing")));
        QVERIFY(!FileExistsChecked(QString()));
        QVERIFY(!FileExistsChecked(QStringLiteral("/dev/null")));
        const QString fifo = dir.path() + QStringLiteral("/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QVERIFY(!FileExistsChecked(fifo));  // returns at once: a FIFO is never opened
        Link(file, dir.path() + QStringLiteral("/link.epub"));
        QVERIFY(FileExistsChecked(dir.path() + QStringLiteral("/link.epub")));

        // A file the user may not read.
        OpenFolder open;
        const QString secret = open.path() + QStringLiteral("/secret.epub");
        MakeFile(secret, 0600);
        QString output;
        QCOMPARE(RunAsNobody(QStringLiteral(BQ_PROBE), {QStringLiteral("exists-checked"), secret},
                             &output),
                 0);
        QCOMPARE(output.trimmed(), QStringLiteral("false\nok"));
        QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0644), 0);
        QCOMPARE(RunAsNobody(QStringLiteral(BQ_PROBE), {QStringLiteral("exists-checked"), secret},
                             &output),
                 0);
        QCOMPARE(output.trimmed(), QStringLiteral("true\nok"));
    }
};

BQ_TEST_MAIN(FolderScanTest)
#include "tst_folder_scan.moc"
