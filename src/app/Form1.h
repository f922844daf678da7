#pragma once

#include "app/MousePointer.h"
#include "app/SkinFramework.h"
#include "convert/ConversionRun.h"
#include "platform/DialogSeam.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QFrame;
class QGroupBox;
class QLineEdit;
class QModelIndex;
class QPoint;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeView;

namespace bq {

class DesktopSession;
class ProgressBarDisplay;
class ConversionList;
class ListMove;

// The program's window. Creating it loads it (Form_Load runs in the constructor, before the
// window is first shown); closing it ends the program.
class Form1 final : public QWidget {
    Q_OBJECT

  public:
    // dialogs: where boxes and dialogs go; null shows Qt's own dialogs.
    explicit Form1(std::unique_ptr<DialogSeam> dialogs = nullptr, QWidget* parent = nullptr);
    ~Form1() override;

    // The controls, by their names.
    QTreeView* ListView1 = nullptr;  // shows List(), the model of the conversion list
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton2 = nullptr;
    QPushButton* PushButton6 = nullptr;
    QPushButton* PushButton7 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option1 = nullptr;
    QFrame* Frame3 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* PushButton9 = nullptr;
    QPushButton* PushButton10 = nullptr;  // "Options…": the Kindle choices
    SkinFramework SkinFramework1;

    DialogSeam& Dialogs() { return *m_dialogs; }
    // What the desktop is told of runs (the taskbar entry, the notification at a run's end).
    DesktopSession& Desktop() { return *m_desktop; }
    // What each run is given besides the window: by default the carried converter runtime and
    // the settings' limits (tests give a converter of their own).
    void SetRunSetup(ConversionSetup setup) { m_runSetup = std::move(setup); }

    // Window-level state shared with the handlers.
    MousePointer mousePointer() const { return m_mousePointer; }
    void setMousePointer(MousePointer pointer);
    bool hasMouseIcon() const { return m_mouseIcon.has_value(); }
    bool IsBusy = false;
    const QString& AppTitle() const { return m_appTitle; }

    // The product name, and the title message boxes carry.
    static QString ProductName() { return QStringLiteral("Brindlequill"); }
    static QString AppTitleFor(const QString& productName);

    // Handlers.
    void Form_Load();
    void Form_Unload();
    void ApplySkin();
    void SetAppTitle();
    void Form_MouseMove();
    void Frame2_MouseMove();
    void Frame3_MouseMove();
    void PushButton_MouseMove();
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();

    // Output folder and conversion.
    void PushButton9_Click();
    // Opens the Kindle options; they are saved when the dialog is accepted.
    void PushButton10_Click();
    // The open options dialog, if any.
    QWidget* OptionsDialog() const { return m_optionsDialog; }
    void PushButton2_Click();
    // "Stop Converting" (the start button during a run) and Escape: asks, then stops the run.
    void AskToStopConverting();
    // The conversion list and its fillers.
    ConversionList& List() { return *m_list; }
    void ListView1_DblClick();
    void ListView1_KeyDown(int keyCode);
    void ListView1_ItemClick(const QModelIndex& item);
    void ListView1_MouseDown();
    void ListView1_MouseMove(const QPoint& position, int screenY);
    void ListView1_MouseUp();
    // Adds local files and folders as a drop of them onto the list does (also used for the files
    // and folders named on the command line).
    void ListView1_OLEDragDrop(const QStringList& paths);
    void PushButton1_Click();
    void PushButton4_Click();
    void PushButton6_Click();
    void PushButton7_Click();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateControls();
    void ConnectHandlers();
    void ConnectListHandlers();
    bool ListEvent(QEvent* event);
    void RemoveSelectedEntry();
    // Puts a text into Text1 as a program step: Text1_Change runs when the text changes, and its
    // errors go to the caller's error trap.
    void SetText1(const QString& text);
    // Selects or clears an option button as a program step: selecting runs its click handler,
    // clearing runs nothing.
    void SetOption(QRadioButton* option, bool selected);
    void ShowPointer();
    // Runs a handler without an error trap of its own: a failure is logged and told to the user
    // once, and the program goes on.
    template <typename Handler>
    void Untrapped(const char* name, Handler&& handler);

    std::unique_ptr<DialogSeam> m_dialogs;
    MousePointer m_mousePointer = MousePointer::Default;
    std::optional<QCursor> m_mouseIcon;
    QString m_appTitle;
    bool m_untrappedFailureShown = false;

    // Output folder and conversion.
    void ConnectConversionHandlers();
    QString m_lastFolderDot;  // the folder the browse button last returned
    QWidget* m_optionsDialog = nullptr;
    void SaveOptions(const KindleChoices& choices);
    std::unique_ptr<ProgressBarDisplay> m_progress;
    // The run under way, started by PushButton2_Click and ended before it returns; null when
    // idle.
    ConversionRun* m_activeRun = nullptr;
    // Since the run under way was asked for: a click on the start button within
    // kStopClickDelayMs of that is not taken for "Stop Converting".
    QElapsedTimer m_runClock;
    static constexpr int kStopClickDelayMs = 500;
    ConversionSetup m_runSetup;
    DesktopSession* m_desktop = nullptr;  // a child of the window
    ConversionList* m_list = nullptr;
    std::unique_ptr<ListMove> m_listMove;
};

}  // namespace bq
