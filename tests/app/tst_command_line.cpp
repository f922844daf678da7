// Files and folders named on the command line: which local paths the arguments stand for.
#include "list/CommandLinePaths.h"
#include "support/TestMain.h"

#include <QTest>

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
};

BQ_TEST_MAIN(CommandLineTest)
#include "tst_command_line.moc"
