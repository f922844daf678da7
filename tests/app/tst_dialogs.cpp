// How the real dialogs hand their results back and show texts.
#include "app/QtDialogs.h"
#include "platform/RunTimeError.h"

#include <QTest>

using namespace bq;

class DialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void displayTextBreaksAtEveryCarriageReturn() {
        QCOMPARE(DisplayText(QStringLiteral("a\r\nb\r\rc\nd\re")),
                 QStringLiteral("a\nb\n\nc\nd\ne"));
    }

    void fileFilters() {
        QCOMPARE(QtFileFilter(QStringLiteral("EPUB Files (*.epub)|*.epub|All Files|*.*")),
                 QStringLiteral("EPUB Files (*.epub);;All Files (*.*)"));
        QCOMPARE(QtFileFilter(QStringLiteral("EPUB (*.epub)|*.epub|")),
                 QStringLiteral("EPUB (*.epub)"));
        QCOMPARE(QtFileFilter(QStringLiteral("Books (*.epub)|*.mobi")),
                 QStringLiteral("Books (*.epub) (*.mobi)"));
        QCOMPARE(QtFileFilter(QStringLiteral("Books|*.epub;*.mobi")),
                 QStringLiteral("Books (*.epub *.mobi)"));
        QCOMPARE(QtFileFilter(QString()), QString());
    }

    void openResults() {
        QCOMPARE(OpenDialogResult({}, 30000), QString());
        QCOMPARE(OpenDialogResult({QStringLiteral("/b/a.epub")}, 30000),
                 QStringLiteral("/b/a.epub"));
        QCOMPARE(
            OpenDialogResult({QStringLiteral("/b/a.epub"), QStringLiteral("/b/c d.epub")}, 30000),
            QStringLiteral("/b") + QChar(0) + QStringLiteral("a.epub") + QChar(0) +
                QStringLiteral("c d.epub"));
        QCOMPARE(OpenDialogResult({QStringLiteral("/a.epub"), QStringLiteral("/b.epub")}, 30000),
                 QStringLiteral("/") + QChar(0) + QStringLiteral("a.epub") + QChar(0) +
                     QStringLiteral("b.epub"));
        QStringList many;
        for (int i = 0; i < 2000; ++i) {
            many << QStringLiteral("/books/a-rather-long-file-name-%1.epub").arg(i);
        }
        int error = 0;
        try {
            OpenDialogResult(many, 30000);
        } catch (const RunTimeError& e) {
            error = e.number();
        }
        QCOMPARE(error, 20476);
    }

    void pickedFolders() {
        QCOMPARE(PickedFolder(QStringLiteral("/")), QStringLiteral("/"));
        QCOMPARE(PickedFolder(QStringLiteral("/home/a/")), QStringLiteral("/home/a"));
        QCOMPARE(PickedFolder(QStringLiteral("/home/a")), QStringLiteral("/home/a"));
    }
};

QTEST_APPLESS_MAIN(DialogsTest)
#include "tst_dialogs.moc"
