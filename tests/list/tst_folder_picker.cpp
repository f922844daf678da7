// The folder picker as the program shows it (Qt's folder dialog behind the dialog seam), answered
// by a timer that acts on the open dialog: the title and the initial folder, the chosen folder
// without a trailing "/" except for "/" itself, a long path whole, an initial folder that no
// longer exists, and Cancel giving "".
#include "app/QtDialogs.h"
#include "list/FolderPicker.h"
#include "support/ScriptedDialogs.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

#include <functional>

using namespace bq;

namespace {

// Runs `act` on the folder dialog once it shows.
void WhenTheDialogShows(std::function<void(QFileDialog&)> act) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (dialog != nullptr && dialog->isVisible()) {
                poll->stop();
                poll->deleteLater();
                act(*dialog);
                return;
            }
        }
    });
    poll->start();
}

}  // namespace

class FolderPickerTest : public QObject {
    Q_OBJECT

  private:
    QWidget m_owner;
    QtDialogs m_dialogs{&m_owner};

    QString Pick(const QString& initial, const QString& choose, QString* title = nullptr,
                 QString* shownFolder = nullptr) {
        WhenTheDialogShows([=](QFileDialog& dialog) {
            if (title != nullptr) {
                *title = dialog.windowTitle();
            }
            if (shownFolder != nullptr) {
                *shownFolder = dialog.directory().absolutePath();
            }
            if (choose.isEmpty()) {
                dialog.reject();
                return;
            }
            // As a person does who types the folder's path into the name box.
            auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name != nullptr);
            name->setText(choose);
            QMetaObject::invokeMethod(&dialog, "accept");
        });
        return BrowseForFolder(m_dialogs, QStringLiteral("Please select folder:"), initial);
    }

  private slots:
    void titleInitialFolderAndChoice() {
        QTemporaryDir dir;
        const QString start = dir.path() + QStringLiteral("/start");
        const QString chosen = dir.path() + QStringLiteral("/chosen one");
        QDir().mkpath(start);
        QDir().mkpath(chosen);
        QString title;
        QString shown;
        QCOMPARE(Pick(start, chosen, &title, &shown), chosen);
        QCOMPARE(title, QStringLiteral("Please select folder:"));
        QCOMPARE(shown, start);
    }

    void theRootStaysASlash() { QCOMPARE(Pick(QStringLiteral("/tmp"), QStringLiteral("/")), "/"); }

    void aLongPathComesBackWhole() {
        QTemporaryDir dir;
        QString deep = dir.path();
        while (deep.size() < 400) {
            deep += QStringLiteral("/a folder with a long name");
        }
        QVERIFY(QDir().mkpath(deep));
        QCOMPARE(Pick(dir.path(), deep), deep);
    }

    void aMissingInitialFolderStillLetsTheUserChoose() {
        QTemporaryDir dir;
        QCOMPARE(Pick(dir.path() + QStringLiteral("/gone"), dir.path()), dir.path());
    }

    void cancelGivesNothing() { QCOMPARE(Pick(QStringLiteral("/tmp"), QString()), QString()); }

    void theSeamIsAskedWithTitleAndInitialFolder() {
        ScriptedDialogs scripted;
        scripted.folderAnswers << QStringLiteral("/books");
        QCOMPARE(BrowseForFolder(scripted, QStringLiteral("Please select folder:"), "/last"),
                 QStringLiteral("/books"));
        QCOMPARE(scripted.folderTitles, QStringList{"Please select folder:"});
        QCOMPARE(scripted.folderInitials, QStringList{"/last"});
        QCOMPARE(BrowseForFolder(scripted, QStringLiteral("Please select folder:"), "/last"),
                 QString());
    }
};

BQ_TEST_MAIN(FolderPickerTest)
#include "tst_folder_picker.moc"
