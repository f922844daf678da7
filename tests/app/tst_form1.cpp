// The main window through its real widgets: the controls as laid out, start-up with every kind
// of stored settings, the skin and the hand cursor (present, absent, broken), the pointer rules,
// the output option handlers, and closing.
#include "app/Form1.h"
#include "app/ProgressBarDisplay.h"
#include "app/QtDialogs.h"
#include "fs/FileTests.h"
#include "list/ConversionList.h"
#include "list/ListContainsItem.h"
#include "platform/ReadWholeFile.h"
#include "platform/SettingsStore.h"
#include "support/ScriptedDialogs.h"
#include "support/SettingsFolderBlocked.h"
#include "support/TestMain.h"

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTimer>
#include <QTreeView>

#include <sys/stat.h>

using namespace bq;

namespace {

const QString kSupport =
    QStringLiteral("\r\rPlease email screenshot of this message to support@brindlequill.org");

QString LoadReport(const QString& description, int line) {
    return description + QStringLiteral("\r\nin Quorvane2021/08/31.Form1.Form_Load at line ") +
           QString::number(line) + kSupport;
}

void WriteStore(const QByteArray& ini) {
    QDir().mkpath(QFileInfo(SettingsFileName()).path());
    QFile file(SettingsFileName());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ini);
}

// What the store holds now, read afresh from its file (a QSettings object here would answer
// from its process-wide copy, which need not see writes made within the same millisecond).
QString Stored(const char* key) {
    return GetSetting(QLatin1String(key), QStringLiteral("<missing>"));
}

void MoveOver(QWidget* widget) {
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
}

QColor Background(const QWidget* widget) {
    return widget->palette().color(QPalette::Window);
}

}  // namespace

class Form1Test : public QObject {
    Q_OBJECT

  private:
    ScriptedDialogs* m_dialogs = nullptr;
    std::unique_ptr<Form1> m_form;

    Form1& Load() {
        auto dialogs = std::make_unique<ScriptedDialogs>();
        m_dialogs = dialogs.get();
        m_form = std::make_unique<Form1>(std::move(dialogs));
        return *m_form;
    }
    static QString Beside(const char* name) {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
    }
    static void PutBeside(const char* resource, const char* name) {
        QDir().mkpath(QFileInfo(Beside(name)).path());
        QFile::remove(Beside(name));
        QVERIFY(
            QFile::copy(QStringLiteral(BQ_RESOURCES "/") + QLatin1String(resource), Beside(name)));
    }

  private slots:
    void init() {
        QFile::remove(SettingsFileName());
        QDir(QFileInfo(SettingsFileName()).path()).removeRecursively();
        QFile::remove(QFileInfo(SettingsFileName()).path());
        QFile::remove(Beside("HAND-M.CUR"));
        QDir(Beside("x")).removeRecursively();
    }
    void cleanup() {
        m_form.reset();
        m_dialogs = nullptr;
    }

    void controls_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("geometry");
        const auto row = [](const char* name, const char* kind, const char* container,
                            const char* caption, QRect geometry) {
            QTest::newRow(name) << kind << container << caption << geometry;
        };
        row("Frame2", "QGroupBox", "Form1", "Save Option", {8, 247, 520, 121});
        row("Option2", "QRadioButton", "Frame2", "Save results in folder of original file",
            {16, 94, 241, 17});
        row("Option1", "QRadioButton", "Frame2", "Save results to this folder:", {16, 20, 241, 17});
        row("Frame3", "QFrame", "Frame2", "", {32, 34, 456, 54});
        row("Text1", "QLineEdit", "Frame3", "", {16, 20, 378, 23});
        row("PushButton9", "QPushButton", "Frame3", "...", {400, 20, 40, 23});
        row("ListView1", "QTreeView", "Form1", "", {8, 8, 520, 169});
        row("ProgressBar1", "QProgressBar", "Form1", "Progress Bar", {8, 411, 520, 27});
        row("PushButton1", "QPushButton", "Form1", "Add EPUB File(s)", {8, 183, 256, 27});
        row("PushButton4", "QPushButton", "Form1", "Add All EPUB File(s) In Folder",
            {272, 183, 256, 27});
        row("PushButton2", "QPushButton", "Form1", "Start Converting", {8, 376, 520, 27});
        row("PushButton6", "QPushButton", "Form1", "Clear List", {8, 217, 256, 27});
        row("PushButton7", "QPushButton", "Form1", "Load Sample/Example Files",
            {272, 217, 256, 27});
    }
    void controls() {
        QFETCH(QString, kind);
        QFETCH(QString, container);
        QFETCH(QString, caption);
        QFETCH(QRect, geometry);
        Form1& form = Load();
        QCOMPARE(form.size(), QSize(536, 446));
        auto* control = form.findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(control != nullptr);
        QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
        QCOMPARE(control->parentWidget()->objectName(), container);
        QCOMPARE(control->geometry(), geometry);
        QString shown;
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            shown = button->text();
        } else if (auto* box = qobject_cast<QGroupBox*>(control)) {
            shown = box->title();
        } else if (auto* bar = qobject_cast<QProgressBar*>(control)) {
            shown = bar->text();
        }
        QCOMPARE(shown, caption);
        // Screen readers see every control by a name.
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        QVERIFY(accessible != nullptr);
        QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(), "no accessible name");
    }

    void fontsTooltipAndKeyboardOrder() {
        Form1& form = Load();
        QCOMPARE(form.font().family(), QStringLiteral("Arial"));
        QCOMPARE(form.font().pointSizeF(), 9.0);
        QVERIFY(form.font().bold());
        QCOMPARE(form.ListView1->font().pointSizeF(), 9.0);
        for (QPushButton* button : form.findChildren<QPushButton*>()) {
            QCOMPARE(button->font().pointSizeF(), 11.25);
            QVERIFY(button->font().bold());
        }
        QCOMPARE(form.ListView1->toolTip(),
                 QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | "
                                "line to right and out of window to reveal full names."));
        QStringList order;
        QWidget* w = form.ListView1;
        for (int i = 0; i < 10; ++i) {
            order << w->objectName();
            w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty()) {
                w = w->nextInFocusChain();
            }
        }
        QCOMPARE(order, (QStringList{"ListView1", "PushButton1", "PushButton4", "PushButton2",
                                     "PushButton6", "PushButton7", "Text1", "PushButton9",
                                     "Option1", "Option2"}));
    }

    void loadWithAnEmptyStore() {
        Form1& form = Load();
        const QString desktop =
            QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/');
        QCOMPARE(m_dialogs->boxes.size(), 0);
        QCOMPARE(form.windowTitle(), QStringLiteral("Brindlequill"));
        QCOMPARE(form.AppTitle(), QStringLiteral("Brindlequill"));
        QCOMPARE(form.ListView1->model()->headerData(0, Qt::Horizontal).toString(),
                 QStringLiteral("EPUB File(s)"));
        QCOMPARE(form.ListView1->model()->columnCount(), 1);
        QCOMPARE(form.ListView1->columnWidth(0), 487);
        QCOMPARE(form.Text1->text(), desktop);
        QVERIFY(form.Option1->isChecked());
        QVERIFY(!form.Option2->isChecked());
        QVERIFY(form.Frame3->isEnabled());
        QCOMPARE(form.ProgressBar1->value(), 0);
        QCOMPARE(form.mousePointer(), MousePointer::Default);
        QVERIFY(!form.IsBusy);
        QCOMPARE(Stored("Text1"), desktop);
        QCOMPARE(Stored("Option1"), QStringLiteral("True"));
        QCOMPARE(Stored("Option2"), QStringLiteral("False"));
    }

    void storedOptions_data() {
        QTest::addColumn<QByteArray>("option1");
        QTest::addColumn<QByteArray>("option2");
        QTest::addColumn<bool>("first");
        QTest::addColumn<bool>("second");
        QTest::addColumn<bool>("frameEnabled");
        QTest::newRow("True False")
            << QByteArray("True") << QByteArray("False") << true << false << true;
        QTest::newRow("False True")
            << QByteArray("False") << QByteArray("True") << false << true << false;
        QTest::newRow("1 0") << QByteArray("1") << QByteArray("0") << true << false << true;
        QTest::newRow("0 1") << QByteArray("0") << QByteArray("1") << false << true << false;
        QTest::newRow("false true")
            << QByteArray("false") << QByteArray("true") << false << true << false;
        QTest::newRow("both False selects neither")
            << QByteArray("False") << QByteArray("False") << false << false << false;
    }
    void storedOptions() {
        QFETCH(QByteArray, option1);
        QFETCH(QByteArray, option2);
        QFETCH(bool, first);
        QFETCH(bool, second);
        QFETCH(bool, frameEnabled);
        WriteStore("[Brindlequill]\nText1=/books/\nOption1=" + option1 + "\nOption2=" + option2 +
                   "\n");
        Form1& form = Load();
        QCOMPARE(m_dialogs->boxes.size(), 0);
        QCOMPARE(form.Option1->isChecked(), first);
        QCOMPARE(form.Option2->isChecked(), second);
        QCOMPARE(form.Frame3->isEnabled(), frameEnabled);
        QCOMPARE(form.Text1->isEnabled(), frameEnabled);
        QCOMPARE(form.PushButton9->isEnabled(), frameEnabled);
        QCOMPARE(form.Text1->text(), QStringLiteral("/books/"));
    }

    void anEmptyStoredText1StaysEmpty() {
        WriteStore("[Brindlequill]\nText1=\n");
        Form1& form = Load();
        QCOMPARE(form.Text1->text(), QString());
        QCOMPARE(Stored("Text1"), QString());
    }

    void anUnreadableOption1ReportsLine138() {
        WriteStore("[Brindlequill]\nText1=/b/\nOption1=maybe\n");
        Form1& form = Load();
        QCOMPARE(m_dialogs->Prompts(),
                 QStringList{LoadReport(QStringLiteral("Type mismatch"), 138)});
        QCOMPARE(m_dialogs->boxes[0].title, QStringLiteral("Application Error"));
        QCOMPARE(m_dialogs->boxes[0].style, 48);
        QVERIFY(form.Option1->isChecked());  // as designed
        QVERIFY(form.Frame3->isEnabled());
    }

    void anUnreadableOption1WithOption2Selected() {
        WriteStore("[Brindlequill]\nOption1=maybe\nOption2=True\n");
        Form1& form = Load();
        QCOMPARE(m_dialogs->Prompts(),
                 QStringList{LoadReport(QStringLiteral("Type mismatch"), 138)});
        QVERIFY(!form.Option1->isChecked());
        QVERIFY(form.Option2->isChecked());
        QVERIFY(!form.Frame3->isEnabled());
    }

    void aStoreThatCannotBeWrittenIsReported() {
        const SettingsFolderBlocked blocked;
        QVERIFY(blocked.ok());
        Form1& form = Load();
        form.show();
        QVERIFY(form.isVisible());
        // Line 108 records the samples into "Snapshot"; 136 and 138 write Text1 and the options.
        QCOMPARE(m_dialogs->Prompts(),
                 (QStringList{LoadReport(QStringLiteral("Permission denied"), 108),
                              LoadReport(QStringLiteral("Permission denied"), 136),
                              LoadReport(QStringLiteral("Permission denied"), 138)}));
        QVERIFY(form.Option1->isChecked());
        QVERIFY(form.Frame3->isEnabled());

        // Later, typing has no error trap: the user is told once, the program goes on.
        m_dialogs->boxes.clear();
        QTest::keyClicks(form.Text1, QStringLiteral("ab"));
        QCOMPARE(m_dialogs->boxes.size(), 1);
        QCOMPARE(m_dialogs->boxes[0].title, QStringLiteral("Brindlequill"));
        QCOMPARE(m_dialogs->boxes[0].style, 48);
        QVERIFY(m_dialogs->boxes[0].prompt.contains(SettingsFileName()));
        QVERIFY(form.Text1->text().endsWith(QStringLiteral("ab")));
    }

    void aCorruptStoreIsReportedAndKept_data() {
        QTest::addColumn<QByteArray>("corrupt");
        QTest::newRow("bytes that are not text")
            << QByteArray("[Brindlequill]\nOption1=False\n\xff\x00junk\n[[[\n", 38);
        QTest::newRow("a line Qt does not take")
            << QByteArray("[Brindlequill]\n# a remark\nOption1=False\n");
    }
    void aCorruptStoreIsReportedAndKept() {
        QFETCH(QByteArray, corrupt);
        WriteStore(corrupt);
        Form1& form = Load();
        const QString access = QStringLiteral("Path/File access error");
        // Line 108 twice: reading "Snapshot" fails, which counts as empty, and recording fails.
        QCOMPARE(
            m_dialogs->Prompts(),
            (QStringList{LoadReport(access, 108), LoadReport(access, 108), LoadReport(access, 136),
                         LoadReport(access, 138), LoadReport(access, 140)}));
        QVERIFY(form.Option1->isChecked());
        QVERIFY(form.Frame3->isEnabled());
        QFile file(SettingsFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), corrupt);
    }

    // Start-up puts the stored values into the controls, whose handlers store them again:
    // values that did not change are not written, so the file (comments too) stays as it is.
    void startUpLeavesAnUnchangedStoreAlone() {
        // "Snapshot" is there (start-up records the samples, none here, whenever it is empty).
        const QByteArray ini =
            "; kept by hand\n[Brindlequill]\nText1=/books/\nOption1=False\nOption2=True\n"
            "Snapshot=\n";
        WriteStore(ini);
        Form1& form = Load();
        QCOMPARE(m_dialogs->Prompts(), QStringList());
        QVERIFY(form.Option2->isChecked());
        QCOMPARE(ReadWholeFile(SettingsFileName()), ini);
    }

    void withoutSkinTheDesignColoursStay() {
        Form1& form = Load();
        QVERIFY(!form.SkinFramework1.IsLoaded());
        QVERIFY(form.styleSheet().isEmpty());
        for (const QWidget* w : std::initializer_list<const QWidget*>{
                 &form, form.Frame2, form.Frame3, form.Option1, form.Option2}) {
            QCOMPARE(Background(w), QColor(Qt::white));
        }
    }

    void theSkinIsApplied() {
        PutBeside("x/o.cjs", "x/o.cjs");
        Form1& form = Load();
        QCOMPARE(m_dialogs->boxes.size(), 0);
        QVERIFY(form.SkinFramework1.IsLoaded());
        QCOMPARE(form.SkinFramework1.ApplyOptions() & 1, 1);
        QVERIFY(form.SkinFramework1.AutoApplyNewWindows());
        QVERIFY(form.SkinFramework1.AutoApplyNewThreads());
        QFile skin(QStringLiteral(BQ_RESOURCES "/x/o.cjs"));
        QVERIFY(skin.open(QIODevice::ReadOnly));
        QCOMPARE(form.styleSheet(), QString::fromUtf8(skin.readAll()));
        QVERIFY(Background(form.Frame2) != QColor(Qt::white) ||
                form.palette().color(QPalette::Button) == Qt::white);
        QCOMPARE(Background(form.Option1), Background(&form));
        QCOMPARE(Background(form.Frame3), Background(&form));
    }

    void aSkinThatCannotBeReadReportsLine100() {
        QDir().mkpath(Beside("x"));
        QVERIFY(::mkfifo(QFile::encodeName(Beside("x/o.cjs")).constData(), 0600) == 0);
        Form1& form = Load();
        QCOMPARE(
            m_dialogs->Prompts(),
            QStringList{LoadReport(QStringLiteral("Invalid procedure call or argument"), 100)});
        QVERIFY(!form.SkinFramework1.IsLoaded());
        QVERIFY(form.styleSheet().isEmpty());
        QCOMPARE(form.windowTitle(), QStringLiteral("Brindlequill"));  // the load went on
    }

    void withoutCursorFileTheHandIsAnArrow() {
        Form1& form = Load();
        QVERIFY(!form.hasMouseIcon());
        MoveOver(form.PushButton1);
        QCOMPARE(form.mousePointer(), MousePointer::Custom);
        QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    }

    void theHandCursorIsLoaded() {
        PutBeside("HAND-M.CUR", "HAND-M.CUR");
        Form1& form = Load();
        QCOMPARE(m_dialogs->boxes.size(), 0);
        QVERIFY(form.hasMouseIcon());
        MoveOver(form.PushButton4);
        QCOMPARE(form.cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(form.cursor().hotSpot(), QPoint(8, 0));
        QCOMPARE(form.cursor().pixmap().size(), QSize(32, 32));
    }

    void aBrokenCursorFileReportsLine104() {
        QFile broken(Beside("HAND-M.CUR"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not a cursor at all");
        broken.close();
        Form1& form = Load();
        QCOMPARE(m_dialogs->Prompts(),
                 QStringList{LoadReport(QStringLiteral("Invalid picture"), 104)});
        QVERIFY(!form.hasMouseIcon());
    }

    void pointerRules() {
        Form1& form = Load();
        const QList<QWidget*> hands{form.PushButton1, form.PushButton2, form.PushButton4,
                                    form.PushButton6, form.PushButton7, form.PushButton9};
        const QList<QWidget*> arrows{&form, form.Frame2, form.Frame3};
        for (QWidget* button : hands) {
            MoveOver(&form);
            QCOMPARE(form.mousePointer(), MousePointer::Default);
            MoveOver(button);
            QCOMPARE(form.mousePointer(), MousePointer::Custom);
        }
        for (QWidget* place : arrows) {
            MoveOver(form.PushButton1);
            MoveOver(place);
            QCOMPARE(form.mousePointer(), MousePointer::Default);
        }
        // The hourglass sticks.
        form.setMousePointer(MousePointer::Hourglass);
        for (QWidget* w : hands + arrows) {
            MoveOver(w);
            QCOMPARE(form.mousePointer(), MousePointer::Hourglass);
            QCOMPARE(form.cursor().shape(), Qt::WaitCursor);
        }
    }

    void optionClicksStoreBothAndSetTheFrame() {
        Form1& form = Load();
        form.show();
        QTest::mouseClick(form.Option2, Qt::LeftButton, {}, QPoint(5, 8));
        QVERIFY(form.Option2->isChecked());
        QVERIFY(!form.Option1->isChecked());
        QVERIFY(!form.Frame3->isEnabled());
        QCOMPARE(Stored("Option1"), QStringLiteral("False"));
        QCOMPARE(Stored("Option2"), QStringLiteral("True"));
        QTest::mouseClick(form.Option1, Qt::LeftButton, {}, QPoint(5, 8));
        QVERIFY(form.Option1->isChecked());
        QVERIFY(form.Frame3->isEnabled());
        QCOMPARE(Stored("Option1"), QStringLiteral("True"));
        QCOMPARE(Stored("Option2"), QStringLiteral("False"));
    }

    // The browse button starts from the folder it last returned, puts the choice into Text1
    // with one "/" at its end (the root stays "/"), and a cancel changes nothing.
    void browseButton_data() {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("stored");
        QTest::newRow("a folder") << ""
                                  << "/data/books"
                                  << "/data/books/"
                                  << "/data/books";
        QTest::newRow("the root") << "/prev"
                                  << "/"
                                  << "/"
                                  << "/";
        QTest::newRow("cancel") << "/prev"
                                << ""
                                << "/typed"
                                << "/prev";
    }
    void browseButton() {
        QFETCH(QString, last);
        QFETCH(QString, answer);
        QFETCH(QString, text1);
        QFETCH(QString, stored);
        WriteStore("[Brindlequill]\nText1=/typed\nLastFolderDot=" + last.toUtf8() + "\n");
        Form1& form = Load();
        form.show();
        m_dialogs->folderAnswers << answer;
        QTest::mouseClick(form.PushButton9, Qt::LeftButton);
        QCOMPARE(m_dialogs->folderTitles, QStringList{QStringLiteral("Please select folder:")});
        QCOMPARE(m_dialogs->folderInitials, QStringList{last});
        QCOMPARE(form.Text1->text(), text1);
        QCOMPARE(Stored("Text1"), text1);
        QCOMPARE(Stored("LastFolderDot"), stored);
        QCOMPARE(m_dialogs->boxes.size(), 0);
    }

    void browseButtonReportsAStoreThatCannotBeWritten() {
        const SettingsFolderBlocked blocked;
        QVERIFY(blocked.ok());
        Form1& form = Load();
        m_dialogs->boxes.clear();
        m_dialogs->folderAnswers << QStringLiteral("/data");
        form.PushButton9_Click();
        const QString where = QStringLiteral(
            "Permission denied\r\nin Quorvane2021/08/31.Form1."
            "PushButton9_Click at line ");
        QCOMPARE(m_dialogs->Prompts(), (QStringList{where + QStringLiteral("104") + kSupport,
                                                    where + QStringLiteral("106") + kSupport}));
        QCOMPARE(form.Text1->text(), QStringLiteral("/data/"));
    }

    // The bar shows the conversion's texts literally and its real values rounded.
    void progressBarDisplay() {
        Form1& form = Load();
        ProgressBarDisplay bar(form.ProgressBar1);
        QCOMPARE(bar.Text(), QStringLiteral("Progress Bar"));
        const QString name = QStringLiteral("Processing: 100%p %v %m 50%.epub");
        bar.SetText(name);
        QCOMPARE(bar.Text(), name);
        QString shown = form.ProgressBar1->text();
        shown.remove(QChar(0x2060));
        QCOMPARE(shown, name);
        bar.SetValue(33.5);
        QCOMPARE(form.ProgressBar1->value(), 34);
        bar.SetValue(62.5);
        QCOMPARE(form.ProgressBar1->value(), 62);
        QCOMPARE(bar.Value(), 62.5);
    }

    // Hundreds of failures are shown in a text that scrolls, all of them.
    void longDetailsScroll() {
        QWidget parent;
        QtDialogs dialogs(&parent);
        QString details;
        for (int i = 0; i < 300; ++i) {
            details += QStringLiteral("/books/f%1.epub\r\n    a reason\r\n").arg(i);
        }
        QString seen;
        int scrollRange = 0;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            auto* view = dialog->findChild<QPlainTextEdit*>(QStringLiteral("details"));
            QVERIFY(view != nullptr);
            seen = view->toPlainText();
            scrollRange = view->verticalScrollBar()->maximum();
            dialog->accept();
        });
        QCOMPARE(dialogs.MsgBoxWithDetails(QStringLiteral("Converted 0 of 300 files."), details, 48,
                                           QStringLiteral("Brindlequill")),
                 int(MbResultOk));
        QCOMPARE(seen.count(QStringLiteral("a reason")), 300);
        QVERIFY(scrollRange > 0);
    }

    void typingStoresEachChange() {
        Form1& form = Load();
        form.show();
        form.Text1->clear();
        QCOMPARE(Stored("Text1"), QString());
        QStringList seen;
        connect(form.Text1, &QLineEdit::textChanged, this, [&] { seen << Stored("Text1"); });
        QTest::keyClicks(form.Text1, QStringLiteral("/out"));
        QCOMPARE(seen, (QStringList{"/", "/o", "/ou", "/out"}));
        QCOMPARE(Stored("Text1"), QStringLiteral("/out"));
    }

    void closingEndsTheProgram() {
        Form1& form = Load();
        form.show();
        QTimer::singleShot(0, &form, [&form] { QVERIFY(form.close()); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void appTitle_data() {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("title");
        QTest::newRow("one word") << "Brindlequill"
                                  << "Brindlequill";
        QTest::newRow("short names lose their last word") << "Brindlequill Converter"
                                                          << "Brindlequill";
        QTest::newRow("long names lose words to 40")
            << "Brindlequill EPUB to MOBI Batch Converter for Desktop Readers"
            << "Brindlequill EPUB to MOBI Batch";
        QTest::newRow("exactly 40 still loses a word") << "Aaaaaaaaa Bbbbbbbbb Ccccccccc Ddddddddd"
                                                       << "Aaaaaaaaa Bbbbbbbbb Ccccccccc";
    }
    void appTitle() {
        QFETCH(QString, product);
        QFETCH(QString, title);
        QCOMPARE(Form1::AppTitleFor(product), title);
        QVERIFY(Form1::AppTitleFor(product).size() <= 40);
    }

    void listContainsItemIsExact() {
        Form1& form = Load();
        for (const char* path : {"/b/a.epub", "/b/x.epub", "/b/a.epub"}) {
            form.List().Append(QLatin1String(path));
        }
        QVERIFY(ListContainsItem(*form.ListView1->model(), QStringLiteral("/b/a.epub")));
        QVERIFY(ListContainsItem(*form.ListView1->model(), QStringLiteral("/b/x.epub")));
        QVERIFY(!ListContainsItem(*form.ListView1->model(), QStringLiteral("/b/A.epub")));
        QVERIFY(!ListContainsItem(*form.ListView1->model(), QStringLiteral("/b/a.epub ")));
        form.List().Clear();
        QVERIFY(!ListContainsItem(*form.ListView1->model(), QString()));
    }
};

BQ_TEST_MAIN(Form1Test)
#include "tst_form1.moc"
