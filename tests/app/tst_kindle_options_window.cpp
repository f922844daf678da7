// "Options…" of the window: the button in the "Save Option" frame, the dialog it opens (its
// controls, their accessible names and order, the keys saved when it is accepted and not when it
// is cancelled), the button disabled while a run is busy, and a dropped folder tree whose folders
// are kept below the output folder. The converter is the stand-in of the conversion run's tests.
#include "app/Form1.h"
#include "app/KindleOptionsDialog.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "support/BuiltHelpers.h"
#include "support/FileContent.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedWindow.h"
#include "support/StandinArchive.h"
#include "support/TestMain.h"
#include "unzip/mUnzip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QUrl>

using namespace bq;

class KindleOptionsWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir m_work{QStringLiteral("/tmp/bq-kindle-window-XXXXXX")};
    QByteArray m_archive;

    std::unique_ptr<Form1> Window(ScriptedDialogs*& dialogs) {
        auto form = StandinWindow(dialogs, m_archive);
        form->show();
        return form;
    }
    static KindleOptionsDialog* OpenOptions(Form1& form) {
        form.PushButton10->click();
        return qobject_cast<KindleOptionsDialog*>(form.OptionsDialog());
    }

  private slots:
    void initTestCase() {
        UseBuiltHelpers();
        m_archive = MakeStandinArchive(m_work.path());
        QVERIFY(!m_archive.isEmpty());
    }
    void init() { QFile::remove(SettingsFileName()); }

    // The button sits in the free place of the frame; the dialog shows and saves the choices.
    void optionsDialog() {
        ScriptedDialogs* dialogs = nullptr;
        const auto form = Window(dialogs);
        QPushButton* button = form->PushButton10;
        QCOMPARE(button->parentWidget(), static_cast<QWidget*>(form->Frame2));
        QCOMPARE(button->text(), QStringLiteral("Options…"));
        QVERIFY(!button->accessibleName().isEmpty());
        QVERIFY(QRect(QPoint(0, 0), form->Frame2->size()).contains(button->geometry()));
        for (const QWidget* other :
             std::initializer_list<const QWidget*>{form->Option1, form->Option2, form->Frame3}) {
            QVERIFY2(!button->geometry().intersects(other->geometry()),
                     qPrintable(other->objectName()));
        }
        // The keyboard comes to it after Option2.
        QWidget* next = form->Option2->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus) {
            next = next->nextInFocusChain();
        }
        QCOMPARE(next, static_cast<QWidget*>(button));

        KindleOptionsDialog* dialog = OpenOptions(*form);
        QVERIFY(dialog != nullptr);
        QVERIFY(dialog->isVisible());
        // Every control is named for assistive technology, and the keyboard walks them in order.
        const QList<QWidget*> controls = {dialog->FormatBox, dialog->DeviceBox,
                                          dialog->KeepFoldersBox, dialog->SkipUpToDateBox};
        for (QWidget* control : controls) {
            QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }
        for (QPushButton* push : dialog->findChildren<QPushButton*>()) {
            QVERIFY(!push->accessibleName().isEmpty());
        }
        for (int i = 0; i + 1 < controls.size(); ++i) {
            QWidget* after = controls[i]->nextInFocusChain();
            while (after->focusPolicy() == Qt::NoFocus) {
                after = after->nextInFocusChain();
            }
            QCOMPARE(after, controls[i + 1]);
        }
        QCOMPARE(dialog->FormatBox->currentData().toString(), QStringLiteral("MOBI6"));
        QCOMPARE(dialog->DeviceBox->currentData().toString(), QString());
        QVERIFY(dialog->DeviceBox->findData(QStringLiteral("kindle_scribe")) > 0);

        // Cancelled: nothing is written.
        dialog->FormatBox->setCurrentIndex(1);
        dialog->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(form->OptionsDialog() == nullptr);
        QVERIFY(!HasSetting(QStringLiteral("KindleFormat")));

        // Accepted: the four keys.
        dialog = OpenOptions(*form);
        QVERIFY(dialog != nullptr);
        dialog->FormatBox->setCurrentIndex(dialog->FormatBox->findData(QStringLiteral("Joint")));
        dialog->DeviceBox->setCurrentIndex(
            dialog->DeviceBox->findData(QStringLiteral("kindle_pw3")));
        dialog->KeepFoldersBox->setChecked(true);
        dialog->SkipUpToDateBox->setChecked(true);
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(form->OptionsDialog() == nullptr);
        QCOMPARE(GetSetting(Setting::KindleFormat), QStringLiteral("Joint"));
        QCOMPARE(GetSetting(Setting::DeviceProfile), QStringLiteral("kindle_pw3"));
        QCOMPARE(GetSetting(Setting::KeepFolders), QStringLiteral("True"));
        QCOMPARE(GetSetting(Setting::SkipUpToDate), QStringLiteral("True"));
        QVERIFY(dialogs->boxes.isEmpty());

        // Opened again, it shows what was saved.
        dialog = OpenOptions(*form);
        QCOMPARE(dialog->FormatBox->currentData().toString(), QStringLiteral("Joint"));
        QCOMPARE(dialog->DeviceBox->currentData().toString(), QStringLiteral("kindle_pw3"));
        QVERIFY(dialog->KeepFoldersBox->isChecked() && dialog->SkipUpToDateBox->isChecked());
        dialog->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // A dropped folder tree with KeepFolders: each book goes to its sub-folder of the output
    // folder, a book dropped by itself to the output folder; "Options…" is off while the run is
    // busy.
    void keepFoldersOfADrop() {
        const QString library = m_work.path() + QStringLiteral("/library");
        const QString out = m_work.path() + QStringLiteral("/out");
        QDir(out).removeRecursively();
        QVERIFY(QDir().mkpath(out));
        Write(library + QStringLiteral("/Fiction/Old/deep.epub"), "GOOD\n");
        Write(library + QStringLiteral("/top.epub"), "GOOD\n");
        Write(m_work.path() + QStringLiteral("/alone.epub"), "GOOD\n");
        SaveSetting(Setting::KeepFolders, QStringLiteral("True"));

        ScriptedDialogs* dialogs = nullptr;
        const auto form = Window(dialogs);
        form->Text1->setText(out + QLatin1Char('/'));
        form->Option1->click();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(library),
                      QUrl::fromLocalFile(m_work.path() + QStringLiteral("/alone.epub"))});
        QWidget* viewport = form->ListView1->viewport();
        const QPoint at = viewport->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drop);
        QCOMPARE(form->List().Count(), 3);
        QCOMPARE(form->List().Roots(), QStringList({library, library, QString()}));

        QList<bool> enabledWhileBusy;
        connect(form->ProgressBar1, &QProgressBar::valueChanged, form.get(), [&](int value) {
            if (value > 0) {
                enabledWhileBusy << form->PushButton10->isEnabled();
            }
        });
        form->PushButton2->click();
        QVERIFY(!enabledWhileBusy.isEmpty());
        QVERIFY(!enabledWhileBusy.contains(true));
        QVERIFY(form->PushButton10->isEnabled());
        QCOMPARE(dialogs->boxes.size(), 1);
        QCOMPARE(dialogs->boxes[0].prompt, QStringLiteral("Done."));
        QVERIFY(QFileInfo::exists(out + QStringLiteral("/Fiction/Old/deep.mobi")));
        QVERIFY(QFileInfo::exists(out + QStringLiteral("/top.mobi")));
        QVERIFY(QFileInfo::exists(out + QStringLiteral("/alone.mobi")));
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
                 QStringList({QStringLiteral("Fiction"), QStringLiteral("alone.mobi"),
                              QStringLiteral("top.mobi")}));
    }
};

BQ_TEST_MAIN(KindleOptionsWindowTest)
#include "tst_kindle_options_window.moc"
