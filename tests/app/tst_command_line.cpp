// Files and folders named on the command line: which local paths the arguments stand for, and
// that the window adds them once it is up, exactly as a drop of them adds them.
#include "app/CommandLineFiles.h"
#include "app/Form1.h"
#include "list/CommandLinePaths.h"
#include "list/ConversionList.h"
#include "list/DroppedPaths.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

void Touch(const QString& path) {
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

}  // namespace

using namespace bq;

class CommandLineTest : public QObject {
    Q_OBJECT

  private slots:
    void paths_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const QStringList& in, const QStringList& out) {
            QTest::newRow(name) << in << out;
        };
        const QString cwd = QStringLiteral("/home/ann/Books");
        row("absolute file", {QStringLiteral("/srv/a.epub")}, {QStringLiteral("/srv/a.epub")});
        row("relative file", {QStringLiteral("a.epub")}, {cwd + QStringLiteral("/a.epub")});
        row("relative with dots", {QStringLiteral("./x/../b.epub")},
            {cwd + QStringLiteral("/b.epub")});
        row("folder with a trailing separator", {QStringLiteral("/srv/books/")},
            {QStringLiteral("/srv/books")});
        row("the current folder", {QStringLiteral(".")}, {cwd});
        row("order kept, repeats kept",
            {QStringLiteral("/b.epub"), QStringLiteral("/a.epub"), QStringLiteral("/b.epub")},
            {QStringLiteral("/b.epub"), QStringLiteral("/a.epub"), QStringLiteral("/b.epub")});
        row("spaces and non-ASCII letters", {QStringLiteral("/srv/Été 寺山 x.epub")},
            {QStringLiteral("/srv/Été 寺山 x.epub")});
        row("file URL, percent-encoded",
            {QStringLiteral("file:///srv/%C3%89t%C3%A9%20%E5%AF%BA.epub")},
            {QStringLiteral("/srv/Été 寺.epub")});
        row("file URL of localhost", {QStringLiteral("file://localhost/srv/a.epub")},
            {QStringLiteral("/srv/a.epub")});
        row("file URL in capitals", {QStringLiteral("FILE:///srv/a.epub")},
            {QStringLiteral("/srv/a.epub")});
        row("file URL of another machine", {QStringLiteral("file://server/srv/a.epub")}, {});
        row("web URL", {QStringLiteral("https://example.org/a.epub")}, {});
        row("empty argument", {QString()}, {});
        row("a name that only looks odd", {QStringLiteral("a:b.epub")},
            {cwd + QStringLiteral("/a:b.epub")});
        row("backslash is part of a name", {QStringLiteral("x\\y.epub")},
            {cwd + QStringLiteral("/x\\y.epub")});
        row("URLs among files",
            {QStringLiteral("/a.epub"), QStringLiteral("http://h/b.epub"),
             QStringLiteral("file:///c.epub")},
            {QStringLiteral("/a.epub"), QStringLiteral("/c.epub")});
    }
    void paths() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        QCOMPARE(CommandLinePaths(arguments, QStringLiteral("/home/ann/Books")), expected);
    }

    // "Open With" on files, a folder, a missing file, a text file and a web address: after the
    // window has loaded and the message loop has run, the list holds what a drop of the same
    // local paths gives (files as they are, the folder through the scan), and nothing else.
    void windowAddsThemAsADrop() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString top = dir.path();
        Touch(top + QStringLiteral("/Été 寺山 a.epub"));
        Touch(top + QStringLiteral("/notes.txt"));
        Touch(top + QStringLiteral("/Shelf/b.epub"));
        Touch(top + QStringLiteral("/Shelf/~lock.epub"));
        Touch(top + QStringLiteral("/Shelf/.hidden.epub"));
        Touch(top + QStringLiteral("/Shelf/Inner/c.epub"));
        const QStringList arguments = {
            QUrl::fromLocalFile(top + QStringLiteral("/Été 寺山 a.epub"))
                .toString(QUrl::FullyEncoded),
            QStringLiteral("Shelf"),
            QStringLiteral("missing.epub"),
            QStringLiteral("https://example.org/d.epub"),
            QStringLiteral("notes.txt"),
        };

        Form1 window(std::make_unique<ScriptedDialogs>());
        window.show();
        QueueCommandLineFiles(window, arguments, top);
        QCOMPARE(window.List().Count(), 0);  // nothing before the message loop runs
        QTRY_COMPARE(window.List().Count(), 5);

        ScriptedDialogs dialogs;
        ConversionList dropped;
        AddDroppedPaths(dropped, CommandLinePaths(arguments, top), dialogs);
        QCOMPARE(window.List().Entries(), dropped.Entries());
        const QStringList& got = window.List().Entries();
        QCOMPARE(got.at(0), top + QStringLiteral("/Été 寺山 a.epub"));
        QCOMPARE(QSet<QString>(got.begin() + 1, got.begin() + 3),
                 QSet<QString>({top + QStringLiteral("/Shelf/b.epub"),
                                top + QStringLiteral("/Shelf/Inner/c.epub")}));
        QCOMPARE(got.at(3), top + QStringLiteral("/missing.epub"));
        QCOMPARE(got.at(4), top + QStringLiteral("/notes.txt"));
        QVERIFY(dialogs.boxes.isEmpty());
    }

    // No arguments: nothing is queued and the list stays empty.
    void noArgumentsAddNothing() {
        Form1 window(std::make_unique<ScriptedDialogs>());
        window.show();
        QueueCommandLineFiles(window, {}, QDir::currentPath());
        QTest::qWait(50);
        QCOMPARE(window.List().Count(), 0);
    }
};

BQ_TEST_MAIN(CommandLineTest)
#include "tst_command_line.moc"
