// The pure path rules, with "/" as the only separator: a backslash is an ordinary character.
#include "fs/PathText.h"

#include <QTest>

using namespace bq;

class PathTextTest : public QObject {
    Q_OBJECT

  private slots:
    void rules_data() {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const char* helper, const QString& in,
                            const QString& out) { QTest::newRow(name) << helper << in << out; };
        row("folder of a file", "FolderPart", "/books/a.epub", "/books/");
        row("folder of a bare name", "FolderPart", "a.epub", "");
        row("folder of a folder", "FolderPart", "/books/", "/books/");
        row("folder of the root file", "FolderPart", "/a.epub", "/");
        row("folder of empty", "FolderPart", "", "");
        row("name of a file", "FileNamePart", "/books/a.epub", "a.epub");
        row("name of a bare name", "FileNamePart", "a.epub", "a.epub");
        row("name of a folder", "FileNamePart", "/books/", "");
        row("backslash is no separator", "FileNamePart", "C:\\Books\\a.epub", "C:\\Books\\a.epub");
        row("name with a backslash", "FileNamePart", "/b/x\\y.epub", "x\\y.epub");
        row("strip the last extension", "StripExtension", "a.b.epub", "a.b");
        row("a leading dot is no extension", "StripExtension", ".epub", ".epub");
        row("a trailing dot goes", "StripExtension", "book.", "book");
        row("no dot", "StripExtension", "book", "book");
        row("strip empty", "StripExtension", "", "");
        row("dot at position two", "StripExtension", "a.", "a");
        row("doubled separator", "CollapseSeparators", "/a//b.mobi", "/a/b.mobi");
        row("tripled separator", "CollapseSeparators", "/a///b", "/a/b");
        row("leading run", "CollapseSeparators", "////srv/x", "/srv/x");
        row("single root stays", "CollapseSeparators", "/home/a", "/home/a");
        row("only separators", "CollapseSeparators", "//", "/");
        row("relative with runs", "CollapseSeparators", "a//b///c/", "a/b/c/");
        row("backslashes untouched", "CollapseSeparators", "\\\\srv\\\\x", "\\\\srv\\\\x");
        row("collapse empty", "CollapseSeparators", "", "");
    }
    void rules() {
        QFETCH(QString, helper);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QString actual;
        if (helper == QLatin1String("FolderPart")) {
            actual = FolderPart(input);
        } else if (helper == QLatin1String("FileNamePart")) {
            actual = FileNamePart(input);
        } else if (helper == QLatin1String("StripExtension")) {
            actual = StripExtension(input);
        } else {
            actual = CollapseSeparators(input);
        }
        QCOMPARE(actual, expected);
    }
};

QTEST_APPLESS_MAIN(PathTextTest)
#include "tst_path_text.moc"
