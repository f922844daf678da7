// How the real dialogs hand their results back and show texts, and the last box's button that
// opens the folder of the kept logs.
#include "app/QtDialogs.h"
#include "platform/RunTimeError.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QUrl>

using namespace bq;

namespace {

// Takes the file URLs the desktop would open, instead of a file manager.
class OpenedUrls : public QObject {
    Q_OBJECT

  public:
    QList<QUrl> urls;

  public slots:
    void open(const QUrl& url) { urls << url; }
};

QAbstractButton* ButtonOf(QWidget* box, const QString& text) {
    for (QAbstractButton* button : box->findChildren<QAbstractButton*>()) {
        if (button->text().remove(QLatin1Char('&')) == text) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace

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

    // Short details in a message box, long ones in a box of their own: "Open Log Folder" opens
    // the folder each time it is pressed and leaves the box open; OK closes it.
    void openLogFolderButton_data() {
        QTest::addColumn<int>("lines");
        QTest::newRow("message box") << 3;
        QTest::newRow("scrolling details") << 40;
    }
    void openLogFolderButton() {
        QFETCH(int, lines);
        OpenedUrls opened;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
        QStringList details;
        for (int i = 0; i < lines; ++i) {
            details << QStringLiteral("/books/%1.epub").arg(i);
        }
        QtDialogs dialogs(nullptr);
        const QString folder = QStringLiteral("/state/brindlequill/logs/2024-05-01_18-30-05");
        bool stayedOpen = false;
        QString accessibleName;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            QAbstractButton* open =
                box ? ButtonOf(box, QStringLiteral("Open Log Folder")) : nullptr;
            if (open == nullptr) {
                if (box != nullptr) {
                    box->close();
                }
                return;
            }
            accessibleName = open->accessibleName();
            open->click();
            open->click();
            QTimer::singleShot(50, [&, box = QPointer<QWidget>(box)] {
                stayedOpen = box && box->isVisible() && QApplication::activeModalWidget() == box;
                if (stayedOpen) {
                    ButtonOf(box, QStringLiteral("OK"))->click();
                }
            });
        });
        QCOMPARE(dialogs.MsgBoxWithFolder(QStringLiteral("Converted 1 of 4 files."),
                                          details.join(QStringLiteral("\r\n")), MbExclamation,
                                          QStringLiteral("Brindlequill"), folder),
                 int(MbResultOk));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(accessibleName, QStringLiteral("Open Log Folder"));
        QVERIFY(stayedOpen);
        QCOMPARE(opened.urls,
                 (QList<QUrl>{QUrl::fromLocalFile(folder), QUrl::fromLocalFile(folder)}));
    }

    void pickedFolders() {
        QCOMPARE(PickedFolder(QStringLiteral("/")), QStringLiteral("/"));
        QCOMPARE(PickedFolder(QStringLiteral("/home/a/")), QStringLiteral("/home/a"));
        QCOMPARE(PickedFolder(QStringLiteral("/home/a")), QStringLiteral("/home/a"));
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
