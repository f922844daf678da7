// The conversion list through the real window, with the dialog seam answering: removal and
// "Clear List" (refused while the hourglass shows), the move by dragging, "Add EPUB File(s)" and
// its result forms, "Add All EPUB File(s) In Folder" and what it remembers, drops of files and
// folders (and of things that are not files), and the sample files recorded at start-up.
#include "app/Form1.h"
#include "list/ConversionList.h"
#include "list/SampleFiles.h"
#include "platform/MessageLoop.h"
#include "platform/SettingsStore.h"
#include "support/ScriptedDialogs.h"
#include "support/SettingsFolderBlocked.h"
#include "support/TestMain.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

using namespace bq;

namespace {

void MakeFile(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("x");
}

QString Stored(const char* key) {
    QSettings store(SettingsFileName(), QSettings::IniFormat);
    return store
        .value(QStringLiteral("Brindlequill/") + QLatin1String(key), QStringLiteral("<missing>"))
        .toString();
}

QStringList Sorted(QStringList list) {
    list.sort();
    return list;
}

const QString kQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");

}  // namespace

class ListWindowTest : public QObject {
    Q_OBJECT

  private:
    ScriptedDialogs* m_dialogs = nullptr;
    std::unique_ptr<Form1> m_form;
    QTemporaryDir m_books;

    Form1& Load() {
        auto dialogs = std::make_unique<ScriptedDialogs>();
        m_dialogs = dialogs.get();
        m_form = std::make_unique<Form1>(std::move(dialogs));
        return *m_form;
    }
    Form1& LoadWith(const QStringList& entries) {
        Form1& form = Load();
        form.List().Append(entries);
        return form;
    }
    QStringList Entries() const { return m_form->List().Entries(); }
    QWidget* Viewport() const { return m_form->ListView1->viewport(); }
    QPoint RowCentre(int row) const {
        return m_form->ListView1->visualRect(m_form->List().index(row)).center();
    }
    void Select(int row) const { m_form->ListView1->setCurrentIndex(m_form->List().index(row)); }
    void MoveHeld(int row) const {
        QMouseEvent move(QEvent::MouseMove, RowCentre(row), Viewport()->mapToGlobal(RowCentre(row)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Viewport(), &move);
    }
    QString Book(const QString& name) const { return m_books.path() + QLatin1Char('/') + name; }
    static QString SamplesDir() { return QCoreApplication::applicationDirPath() + "/Samples"; }
    void SendDrop(QMimeData& data, bool* accepted) {
        const QPoint at = Viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Viewport(), &enter);
        *accepted = enter.isAccepted();
        if (*accepted) {
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(Viewport(), &drop);
        }
    }

  private slots:
    void init() {
        QFile::remove(SettingsFileName());
        QDir(SamplesDir()).removeRecursively();
    }
    void cleanup() {
        m_form.reset();
        m_dialogs = nullptr;
    }

    // ---- removal and Clear List ----

    void removalByDoubleClickAndDelete() {
        Form1& form = LoadWith({"/b/1.epub", "/b/2.epub", "/b/3.epub", "/b/4.epub"});
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(Viewport(), Qt::LeftButton, {}, RowCentre(1));  // a double-click's first
        QTest::mouseDClick(Viewport(), Qt::LeftButton, {}, RowCentre(1));
        QCOMPARE(Entries(), (QStringList{"/b/1.epub", "/b/3.epub", "/b/4.epub"}));
        Select(2);
        form.ListView1->setFocus();
        QTest::keyClick(form.ListView1, Qt::Key_Delete);
        QCOMPARE(Entries(), (QStringList{"/b/1.epub", "/b/3.epub"}));
        QTest::keyClick(form.ListView1, Qt::Key_Backspace);  // any other key does nothing
        form.ListView1->clearSelection();
        form.ListView1_DblClick();  // entries, but none selected: nothing goes
        QCOMPARE(Entries().size(), 2);
        QCOMPARE(m_dialogs->boxes.size(), 0);
    }

    void removalOnAnEmptyList() {
        Form1& form = Load();
        form.ListView1_DblClick();
        form.ListView1_KeyDown(46);
        form.PushButton6->click();
        QCOMPARE(form.List().Count(), 0);
        QCOMPARE(m_dialogs->boxes.size(), 0);
    }

    void nothingIsRemovedWhileTheHourglassShows() {
        Form1& form = LoadWith({"/b/1.epub", "/b/2.epub"});
        Select(0);
        form.setMousePointer(MousePointer::Hourglass);
        form.ListView1_DblClick();
        form.ListView1_KeyDown(46);
        form.PushButton6->click();
        QCOMPARE(Entries().size(), 2);
        form.setMousePointer(MousePointer::Default);
        form.PushButton6->click();
        QCOMPARE(Entries().size(), 0);
    }

    // ---- the move by dragging ----

    void dragMovesAnEntryStepByStep() {
        Form1& form = LoadWith({"/b/1.epub", "/b/2.epub", "/b/3.epub", "/b/4.epub"});
        form.show();
        QTest::mousePress(Viewport(), Qt::LeftButton, {}, RowCentre(0));
        MoveHeld(1);
        MoveHeld(2);
        QCOMPARE(Entries(), (QStringList{"/b/2.epub", "/b/3.epub", "/b/1.epub", "/b/4.epub"}));
        QCOMPARE(form.ListView1->currentIndex().row(), 2);
        QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, RowCentre(2));
        QCOMPARE(Viewport()->cursor().shape(), Qt::ArrowCursor);
        // After the release, moving changes nothing.
        QMouseEvent move(QEvent::MouseMove, RowCentre(3), Viewport()->mapToGlobal(RowCentre(3)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Viewport(), &move);
        QCOMPARE(Entries(), (QStringList{"/b/2.epub", "/b/3.epub", "/b/1.epub", "/b/4.epub"}));
    }

    void theDragCursorComesFromDragIco() {
        const QString beside = QCoreApplication::applicationDirPath() + "/drag.ico";
        QFile::remove(beside);
        Form1& form = LoadWith({"/b/1.epub", "/b/2.epub"});
        form.show();
        // Without drag.ico the list keeps the arrow.
        QTest::mousePress(Viewport(), Qt::LeftButton, {}, RowCentre(0));
        QCOMPARE(Viewport()->cursor().shape(), Qt::ArrowCursor);
        QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, RowCentre(0));
        // It is read at each click: put beside the program now, it shows at the next one.
        QVERIFY(QFile::copy(QStringLiteral(BQ_RESOURCES "/drag.ico"), beside));
        QTest::mousePress(Viewport(), Qt::LeftButton, {}, RowCentre(1));
        QCOMPARE(Viewport()->cursor().shape(), Qt::BitmapCursor);
        QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, RowCentre(1));
        QCOMPARE(Viewport()->cursor().shape(), Qt::ArrowCursor);
        QFile::remove(beside);
    }

    void equalTextsEmptySpaceAndRemovedEntriesNeverExchange() {
        Form1& form = LoadWith({"/b/same.epub", "/b/same.epub", "/b/x.epub"});
        form.show();
        QTest::mousePress(Viewport(), Qt::LeftButton, {}, RowCentre(0));
        MoveHeld(1);  // same text: no exchange
        QCOMPARE(Entries(), (QStringList{"/b/same.epub", "/b/same.epub", "/b/x.epub"}));
        form.ListView1_MouseMove(QPoint(5, Viewport()->height() - 2), 330);  // below the last
        QCOMPARE(Entries(), (QStringList{"/b/same.epub", "/b/same.epub", "/b/x.epub"}));
        // The moving entry removed while the button is held: no exchange with what is left.
        form.List().Remove(0);
        MoveHeld(1);
        QCOMPARE(Entries(), (QStringList{"/b/same.epub", "/b/x.epub"}));
        QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, RowCentre(1));
    }

    void dragScrollsAtTheFixedScreenRows() {
        QStringList many;
        for (int i = 0; i < 200; ++i) {
            many << QStringLiteral("/b/%1.epub").arg(i, 3, 10, QLatin1Char('0'));
        }
        Form1& form = LoadWith(many);
        form.show();
        form.ListView1->scrollTo(form.List().index(100), QAbstractItemView::PositionAtTop);
        const int top = form.ListView1->indexAt(QPoint(5, 2)).row();
        QTest::mousePress(Viewport(), Qt::LeftButton, {}, RowCentre(top + 1));
        // Onto the top visible entry with the pointer above screen row 305: the one above shows.
        form.ListView1_MouseMove(RowCentre(top), 304);
        QCOMPARE(Entries().at(top), many.at(top + 1));
        QCOMPARE(form.ListView1->indexAt(QPoint(5, 2)).row(), top - 1);
        // Between the rows nothing scrolls.
        const int shown = form.ListView1->indexAt(QPoint(5, 2)).row();
        form.ListView1_MouseMove(RowCentre(shown + 1), 330);
        QCOMPARE(form.ListView1->indexAt(QPoint(5, 2)).row(), shown);
        QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, RowCentre(shown + 1));
    }

    // ---- Add EPUB File(s) ----

    void addFilesDialogForms_data() {
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("cancel") << QString() << QStringList{"/old.epub"};
        QTest::newRow("one file, exactly as returned")
            << "/books//My Book.epub" << QStringList{"/old.epub", "/books//My Book.epub"};
        QTest::newRow("three files in a folder")
            << QStringLiteral("/books%1c.epub%1a.epub%1b.epub").arg(QChar(0))
            << QStringList{"/old.epub", "/books/c.epub", "/books/a.epub", "/books/b.epub"};
        QTest::newRow("two files at the root") << QStringLiteral("/%1a.epub%1b.epub").arg(QChar(0))
                                               << QStringList{"/old.epub", "/a.epub", "/b.epub"};
        QTest::newRow("a listed file again")
            << "/old.epub" << QStringList{"/old.epub", "/old.epub"};
    }
    void addFilesDialogForms() {
        QFETCH(QString, result);
        QFETCH(QStringList, entries);
        Form1& form = LoadWith({"/old.epub"});
        m_dialogs->openAnswers << result;
        form.PushButton1->click();
        QCOMPARE(Entries(), entries);
        QCOMPARE(m_dialogs->boxes.size(), 0);
        QCOMPARE(m_dialogs->openRequests.size(), 1);
        QCOMPARE(m_dialogs->openRequests[0].title,
                 QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
        QCOMPARE(m_dialogs->openRequests[0].filter, QStringLiteral("EPUB (*.epub)|*.epub|"));
        QCOMPARE(m_dialogs->openRequests[0].maxFileSize, 30000);
    }

    void tooManyFilesAreRefused() {
        Form1& form = LoadWith({"/old.epub"});
        QString result = QStringLiteral("/books");
        while (result.size() < 30000) {
            result += QChar(0) + QStringLiteral("a rather long book name.epub");
        }
        m_dialogs->openAnswers << result;
        form.PushButton1->click();
        QCOMPARE(Entries(), QStringList{"/old.epub"});
        QCOMPARE(m_dialogs->boxes.size(), 1);
        QCOMPARE(m_dialogs->boxes[0].prompt,
                 QStringLiteral("You've selected too many files to add.\r\rPlease try adding via "
                                "the \"Add All\" button."));
        QCOMPARE(m_dialogs->boxes[0].style, 0);
        QCOMPARE(m_dialogs->boxes[0].title, QStringLiteral("Brindlequill"));
    }

    // ---- Add All EPUB File(s) In Folder ----

    void folderRouteRemembersAndScans() {
        MakeFile(Book("tree/a.epub"));
        MakeFile(Book("tree/notes.txt"));
        MakeFile(Book("tree/sub/b.EPUB"));
        MakeFile(Book("tree/~$b.epub"));
        Form1& form = Load();
        QCOMPARE(Stored("Extension"), QStringLiteral("<missing>"));

        // Cancel at the prompt: nothing saved, no folder dialog.
        form.PushButton4->click();
        QCOMPARE(m_dialogs->inputPrompts,
                 QStringList{"Enter file extension to load:\r\r(* for all files, txt for all txt "
                             "files, doc for all doc files, etc.)"});
        QCOMPARE(m_dialogs->folderTitles.size(), 0);
        QCOMPARE(Stored("Extension"), QStringLiteral("<missing>"));

        // "txt", then cancel at the folder: the extension stays saved, LastFolder unchanged.
        m_dialogs->inputAnswers << "txt";
        form.PushButton4->click();
        QCOMPARE(Stored("Extension"), QStringLiteral("txt"));
        QCOMPARE(m_dialogs->folderTitles, QStringList{"Please select folder:"});
        QCOMPARE(m_dialogs->folderInitials, QStringList{""});
        QCOMPARE(Stored("LastFolder"), QStringLiteral("<missing>"));
        QCOMPARE(form.List().Count(), 0);

        // "epub" in the tree: breadth-first, letter case ignored, the tilde file left out.
        m_dialogs->inputAnswers << "epub";
        m_dialogs->folderAnswers << Book("tree");
        form.PushButton4->click();
        QCOMPARE(Stored("LastFolder"), Book("tree"));
        QCOMPARE(Entries(), (QStringList{Book("tree/a.epub"), Book("tree/sub/b.EPUB")}));
        QCOMPARE(form.mousePointer(), MousePointer::Default);

        // "*" lists every file, and the same folder again lists them all again.
        m_dialogs->inputAnswers << "*";
        m_dialogs->folderAnswers << Book("tree");
        form.PushButton4->click();
        QCOMPARE(m_dialogs->folderInitials.last(), Book("tree"));
        QCOMPARE(Sorted(Entries().mid(2)),
                 Sorted({Book("tree/a.epub"), Book("tree/notes.txt"), Book("tree/sub/b.EPUB")}));
        QCOMPARE(m_dialogs->boxes.size(), 0);
    }

    void folderRouteRestoresThePointerAfterAnError() {
        MakeFile(Book("err/a.epub"));
        Form1& form = Load();
        // From here the store cannot be written: its folder becomes a file.
        const SettingsFolderBlocked blocked;
        QVERIFY(blocked.ok());
        m_dialogs->inputAnswers << "epub";
        m_dialogs->folderAnswers << Book("err");
        form.PushButton4->click();
        QCOMPARE(m_dialogs->boxes.size(), 2);  // saving Extension, saving LastFolder
        QVERIFY(m_dialogs->boxes[1].prompt.contains(
            QStringLiteral("in Quorvane2021/08/31.Form1.PushButton4_Click at line 114")));
        QCOMPARE(Entries(), QStringList{Book("err/a.epub")});
        QCOMPARE(form.mousePointer(), MousePointer::Default);
    }

    // During a conversion run (the hourglass shows) the button still adds a folder's files,
    // and the hourglass stays afterwards.
    void folderRouteDuringARunKeepsTheHourglass() {
        MakeFile(Book("busy/a.epub"));
        Form1& form = Load();
        form.setMousePointer(MousePointer::Hourglass);
        m_dialogs->inputAnswers << "epub";
        m_dialogs->folderAnswers << Book("busy");
        form.PushButton4->click();
        QCOMPARE(Entries(), QStringList{Book("busy/a.epub")});
        QCOMPARE(form.mousePointer(), MousePointer::Hourglass);
    }

    // Closing the window during a folder scan ends it at its next step: the handler returns at
    // once with what was found so far, not after the whole tree.
    void closingDuringAFolderScanEndsIt() {
        for (int i = 0; i < 2000; ++i) {
            MakeFile(Book(QStringLiteral("big/%1/%2/book.epub").arg(i % 40).arg(i)));
        }
        Form1& form = Load();
        m_dialogs->inputAnswers << "epub";
        m_dialogs->folderAnswers << Book("big");
        QTimer::singleShot(0, &form, [&form] { form.close(); });
        form.PushButton4->click();
        QVERIFY2(form.List().Count() < 2000, qPrintable(QString::number(form.List().Count())));
        SetQuitRequested(false);
    }

    // ---- drag and drop ----

    void dropsOfFilesAndFolders() {
        MakeFile(Book("drop/a.epub"));
        MakeFile(Book("drop/b.txt"));
        MakeFile(Book("drop/sub/c.epub"));
        MakeFile(Book("drop/~tmp.epub"));
        MakeFile(Book("drop2/d.epub"));
        LoadWith({"/old.epub"});
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Book("~single.txt")), QUrl::fromLocalFile(Book("drop")),
                      QUrl(QStringLiteral("https://example.org/x.epub")),
                      QUrl::fromLocalFile(Book("drop2")), QUrl::fromLocalFile("/old.epub")});
        bool accepted = false;
        SendDrop(data, &accepted);
        QVERIFY(accepted);
        const QStringList entries = Entries();
        QCOMPARE(entries.size(), 7);
        QCOMPARE(entries.at(0), QStringLiteral("/old.epub"));
        QCOMPARE(entries.at(1), Book("~single.txt"));  // a dropped file is listed as it is
        QCOMPARE(Sorted(entries.mid(2, 2)), Sorted({Book("drop/a.epub"), Book("drop/b.txt")}));
        QCOMPARE(entries.at(4), Book("drop/sub/c.epub"));
        QCOMPARE(entries.at(5), Book("drop2/d.epub"));
        QCOMPARE(entries.at(6), QStringLiteral("/old.epub"));
        QCOMPARE(m_dialogs->boxes.size(), 0);
    }

    void aDragWithoutFilesIsRefused() {
        Form1& form = LoadWith({"/old.epub"});
        QMimeData text;
        text.setText(QStringLiteral("/home/someone/book.epub"));
        bool accepted = true;
        SendDrop(text, &accepted);
        QVERIFY(!accepted);
        QMimeData web;
        web.setUrls({QUrl(QStringLiteral("https://example.org/book.epub"))});
        SendDrop(web, &accepted);
        QVERIFY(!accepted);
        // Even delivered, a drop without local files adds nothing.
        QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Viewport(), &drop);
        QCOMPARE(Entries(), QStringList{"/old.epub"});
        QCOMPARE(form.List().Count(), 1);
    }

    // ---- sample files ----

    void samplesAreRecordedAtTheFirstStartThatFindsThem() {
        Load();  // no Samples folder: an empty record, looked at again next time
        QCOMPARE(Stored("Snapshot"), QString());
        m_form->PushButton7->click();
        QCOMPARE(m_form->List().Count(), 0);
        QCOMPARE(m_dialogs->boxes.size(), 1);
        QCOMPARE(m_dialogs->boxes[0].prompt, kQuestion);
        QCOMPARE(m_dialogs->boxes[0].style, MbYesNo);
        QCOMPARE(m_dialogs->boxes[0].title, QStringLiteral("Brindlequill"));
        QCOMPARE(m_dialogs->openedFolders.size(), 0);  // answered No

        for (const char* name : {"one.epub", "two.txt", "three.epub", "sub/four.epub"}) {
            MakeFile(SamplesDir() + QLatin1Char('/') + QLatin1String(name));
        }
        Form1& form = Load();
        const QStringList record = Stored("Snapshot").split(QLatin1Char('|'));
        QCOMPARE(Sorted(record), Sorted({SamplesDir() + "/one.epub", SamplesDir() + "/two.txt",
                                         SamplesDir() + "/three.epub"}));

        // A later file is never added; a deleted one is skipped; a listed one is not repeated,
        // but one listed with other letter case does not count.
        MakeFile(SamplesDir() + QStringLiteral("/later.epub"));
        QFile::remove(SamplesDir() + QStringLiteral("/two.txt"));
        form.List().Append(SamplesDir() + QStringLiteral("/ONE.epub"));
        form.List().Append(SamplesDir() + QStringLiteral("/three.epub"));
        m_dialogs->boxAnswers << MbResultYes;
        form.PushButton7->click();
        QStringList expected{SamplesDir() + "/ONE.epub", SamplesDir() + "/three.epub"};
        for (const QString& path : record) {
            if (path.endsWith(QStringLiteral("/one.epub"))) {
                expected << path;
            }
        }
        QCOMPARE(Entries(), expected);
        QCOMPARE(m_dialogs->openedFolders, QStringList{SamplesDir() + QStringLiteral("/")});

        // Pressed again: nothing more, the question again. A restart keeps the record.
        form.PushButton7->click();
        QCOMPARE(Entries(), expected);
        QCOMPARE(m_dialogs->boxes.size(), 2);
        Load();
        QCOMPARE(Stored("Snapshot").split(QLatin1Char('|')), record);
    }

    // The record reads back every path it was given; a record of paths without "|" is the
    // one earlier versions wrote, and one they wrote reads as they read it.
    void snapshotRecordKeepsEveryPath_data() {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("record");  // "" where the form is the program's own
        QTest::newRow("none") << QStringList() << QString();
        QTest::newRow("plain") << QStringList{"/p/Samples/a b.epub", "/p/Samples/\\c\\.epub"}
                               << "/p/Samples/a b.epub|/p/Samples/\\c\\.epub";
        QTest::newRow("a bar") << QStringList{"/p/Samples/a|b.epub", "/p/Samples/c.epub"} << "";
        QTest::newRow("bars and escapes")
            << QStringList{"/p/S/|", "/p/S/\\|x", "/p/S/y\\", "/p/S/||\\\\|", "/p/S/z"} << "";
        QTest::newRow("a bar in the folder") << QStringList{"/p|q/Samples/a.epub"} << "";
        QTest::newRow("an empty path") << QStringList{""} << "";
        QTest::newRow("an empty path first") << QStringList{"", "/p/a.epub"} << "";
    }
    void snapshotRecordKeepsEveryPath() {
        QFETCH(QStringList, paths);
        QFETCH(QString, record);
        if (!record.isEmpty() || paths.isEmpty()) {
            QCOMPARE(SnapshotRecord(paths), record);
            QCOMPARE(SnapshotPaths(record), paths);
        }
        QCOMPARE(SnapshotPaths(SnapshotRecord(paths)), paths);
    }

    // Sample names holding "|" or "\" are recorded at start-up and loaded back whole.
    void samplesWithAnyNameAreLoadedBack() {
        const QStringList names{"a|b.epub", "c\\|d.epub", "e\\.epub", "|f|.epub", "plain.epub"};
        for (const QString& name : names) {
            MakeFile(SamplesDir() + QLatin1Char('/') + name);
        }
        Form1& form = Load();
        QVERIFY(Stored("Snapshot").startsWith(QLatin1Char('|')));
        form.PushButton7->click();
        QStringList expected;
        for (const QString& name : names) {
            expected << SamplesDir() + QLatin1Char('/') + name;
        }
        QCOMPARE(Sorted(Entries()), Sorted(expected));
    }

    // ---- the list itself ----

    void entriesAreReadByScreenReaders() {
        Form1& form = LoadWith({"/b/first.epub", "/b/second.epub"});
        form.show();
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(form.ListView1);
        QVERIFY(list != nullptr);
        QStringList texts;
        for (int i = 0; i < list->childCount(); ++i) {
            texts << list->child(i)->text(QAccessible::Name);
        }
        QVERIFY2(texts.contains(QStringLiteral("/b/second.epub")), qPrintable(texts.join('|')));
        QVERIFY(texts.contains(QStringLiteral("EPUB File(s)")));
    }
};

BQ_TEST_MAIN(ListWindowTest)
#include "tst_list_window.moc"
