#include "app/Form1.h"

#include "app/DesktopSession.h"
#include "app/KindleOptionsDialog.h"
#include "app/ProgressBarDisplay.h"
#include "app/QtDialogs.h"
#include "app/WindowRunFace.h"
#include "convert/ConversionRun.h"
#include "convert/KindleChoices.h"
#include "fs/FileTests.h"
#include "fs/FolderScan.h"
#include "list/AddFilesByDialog.h"
#include "list/ConversionList.h"
#include "list/DroppedPaths.h"
#include "list/FolderPicker.h"
#include "list/FolderRoute.h"
#include "list/ListMove.h"
#include "list/SampleFiles.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramFolder.h"
#include "platform/SettingsStore.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTreeView>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcForm, "brindlequill.window")

namespace bq {

namespace {

// Layout units: 15 twips make one pixel.
int Px(int twips) {
    return qRound(twips / 15.0);
}

void Place(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QFont ArialBold(qreal points) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void PaintBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setBackgroundRole(QPalette::Window);  // buttons paint their button colour otherwise
    widget->setAutoFillBackground(true);
}

template <typename Widget>
Widget* Make(QWidget* parent, const char* name) {
    auto* widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = Make<QPushButton>(parent, name);
    button->setText(caption);
    button->setFont(ArialBold(11.25));
    return button;
}

}  // namespace

Form1::Form1(std::unique_ptr<DialogSeam> dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(std::move(dialogs)) {
    if (!m_dialogs) {
        m_dialogs = std::make_unique<QtDialogs>(this);
    }
    setObjectName(QStringLiteral("Form1"));
    CreateControls();
    ConnectHandlers();
    ConnectConversionHandlers();
    ConnectListHandlers();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::CreateControls() {
    setWindowTitle(QStringLiteral("Form1"));
    setFont(ArialBold(9));
    setFixedSize(Px(8040), Px(6690));
    PaintBackground(this, Qt::white);

    // In design (creation) order.
    Frame2 = Make<QGroupBox>(this, "Frame2");
    Frame2->setTitle(QStringLiteral("Save Option"));
    Place(Frame2, 120, 3710, 7800, 1815);

    Option2 = Make<QRadioButton>(Frame2, "Option2");
    Option2->setText(QStringLiteral("Save results in folder of original file"));
    Place(Option2, 240, 1410, 3615, 255);

    Option1 = Make<QRadioButton>(Frame2, "Option1");
    Option1->setText(QStringLiteral("Save results to this folder:"));
    Place(Option1, 240, 300, 3615, 255);
    Option1->setChecked(true);

    Frame3 = Make<QFrame>(Frame2, "Frame3");
    Frame3->setAccessibleName(QStringLiteral("Output folder"));
    Place(Frame3, 480, 510, 6840, 810);

    Text1 = Make<QLineEdit>(Frame3, "Text1");
    Text1->setAccessibleName(QStringLiteral("Save results to this folder:"));
    Place(Text1, 240, 300, 5670, 345);

    PushButton9 = MakeButton(Frame3, "PushButton9", QStringLiteral("..."));
    PushButton9->setAccessibleName(QStringLiteral("Browse for the output folder"));
    Place(PushButton9, 6000, 300, 600, 345);

    // In the free place right of Option2.
    PushButton10 = MakeButton(Frame2, "PushButton10", QStringLiteral("Options…"));
    PushButton10->setAccessibleName(QStringLiteral("Options for the books made"));
    Place(PushButton10, 5640, 1335, 1680, 375);

    ListView1 = Make<QTreeView>(this, "ListView1");
    m_list = new ConversionList(this);
    m_list->setObjectName(QStringLiteral("List"));
    ListView1->setModel(m_list);
    m_listMove = std::make_unique<ListMove>(*m_list);
    ListView1->setToolTip(
        QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line to "
                       "right and out of window to reveal full names."));
    ListView1->setAccessibleName(QStringLiteral("EPUB File(s)"));
    ListView1->setFont(ArialBold(9));
    ListView1->setRootIsDecorated(false);
    ListView1->setSortingEnabled(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setItemsExpandable(false);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setAutoScroll(false);  // a move scrolls by its own screen rows
    ListView1->setDragEnabled(false);
    ListView1->setAcceptDrops(true);
    ListView1->setDropIndicatorShown(false);
    ListView1->header()->setStretchLastSection(false);
    ListView1->header()->setSectionResizeMode(QHeaderView::Interactive);
    ListView1->setCursor(Qt::ArrowCursor);
    ListView1->viewport()->setCursor(Qt::ArrowCursor);
    Place(ListView1, 120, 120, 7800, 2535);

    ProgressBar1 = Make<QProgressBar>(this, "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(true);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    ProgressBar1->setFormat(QStringLiteral("Progress Bar"));
    ProgressBar1->setAccessibleName(QStringLiteral("Progress"));
    Place(ProgressBar1, 120, 6160, 7800, 405);

    PushButton1 = MakeButton(this, "PushButton1", QStringLiteral("Add EPUB File(s)"));
    Place(PushButton1, 120, 2750, 3840, 405);
    PushButton4 = MakeButton(this, "PushButton4", QStringLiteral("Add All EPUB File(s) In Folder"));
    Place(PushButton4, 4080, 2750, 3840, 405);
    PushButton2 = MakeButton(this, "PushButton2", QStringLiteral("Start Converting"));
    Place(PushButton2, 120, 5640, 7800, 405);
    PushButton6 = MakeButton(this, "PushButton6", QStringLiteral("Clear List"));
    Place(PushButton6, 120, 3260, 3840, 405);
    PushButton7 = MakeButton(this, "PushButton7", QStringLiteral("Load Sample/Example Files"));
    Place(PushButton7, 4080, 3260, 3840, 405);

    for (QWidget* white : std::initializer_list<QWidget*>{Frame2, Frame3, Option1, Option2}) {
        PaintBackground(white, Qt::white);
    }

    // Keyboard order: ListView1, ProgressBar1, PushButton1, 4, 2, 6, 7, Frame2, Frame3, Text1,
    // PushButton9, Option1, Option2, PushButton10 (the bar and the frames take no focus).
    const QWidget* order[] = {ListView1,   PushButton1, PushButton4, PushButton2,
                              PushButton6, PushButton7, Text1,       PushButton9,
                              Option1,     Option2,     PushButton10};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
    }

    // The pointer rules follow the mouse over the form, both frames and the buttons.
    setMouseTracking(true);
    for (QWidget* tracked :
         std::initializer_list<QWidget*>{Frame2, Frame3, PushButton1, PushButton2, PushButton4,
                                         PushButton6, PushButton7, PushButton9, PushButton10}) {
        tracked->setMouseTracking(true);
        tracked->installEventFilter(this);
    }
}

void Form1::ConnectHandlers() {
    connect(Option1, &QRadioButton::clicked, this,
            [this] { Untrapped("Option1_Click", [this] { Option1_Click(); }); });
    connect(Option2, &QRadioButton::clicked, this,
            [this] { Untrapped("Option2_Click", [this] { Option2_Click(); }); });
    connect(Text1, &QLineEdit::textChanged, this,
            [this] { Untrapped("Text1_Change", [this] { Text1_Change(); }); });
}

template <typename Handler>
void Form1::Untrapped(const char* name, Handler&& handler) {
    try {
        handler();
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcForm).noquote()
            << name << "failed:" << error.number() << error.description() << error.source();
        if (!m_untrappedFailureShown) {
            m_untrappedFailureShown = true;
            m_dialogs->MsgBox(
                QStringLiteral("Your choice could not be saved: ") + error.description() +
                    QStringLiteral(".\r\nCheck that the settings file ") + SettingsFileName() +
                    QStringLiteral(" and its folder can be written, then make the choice again."),
                MbExclamation, m_appTitle);
        }
    }
}

void Form1::Form_Load() {
    SetQuitRequested(false);  // a window that loads is a program that runs
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.Form_Load"));
    trap.Line(100, [this] { ApplySkin(); });

    const QString cursorFile = ProgramFolder() + QStringLiteral("/HAND-M.CUR");
    if (trap.Test(102, [&] { return FileIsPresent(cursorFile); })) {
        trap.Line(104, [&] { m_mouseIcon = LoadCursorFile(cursorFile); });
    }

    // The samples beside the program are recorded in "Snapshot" when it is empty.
    if (trap.Test(108, [] { return GetSetting(Setting::Snapshot).isEmpty(); })) {
        trap.Line(108, [] { TakeSampleSnapshot(); });
    }

    trap.Line(130, [this] {
        setWindowTitle(ProductName());
        setWindowIcon(QIcon(QStringLiteral(":/icons/brindlequill.png")));
        SetAppTitle();
    });
    trap.Line(132, [this] { m_list->SetHeader(QStringLiteral("EPUB File(s)")); });
    trap.Line(134, [this] { ListView1->setColumnWidth(0, Px(7300)); });
    trap.Line(136, [this] { SetText1(GetSetting(Setting::Text1)); });
    trap.Line(138, [this] { SetOption(Option1, TextToBoolean(GetSetting(Setting::Option1))); });
    trap.Line(140, [this] { SetOption(Option2, TextToBoolean(GetSetting(Setting::Option2))); });
    if (trap.Test(142, [this] { return Option1->isChecked(); })) {
        trap.Line(144, [this] { Frame3->setEnabled(true); });
    } else {
        trap.Line(146, [this] { Frame3->setEnabled(false); });
    }
}

void Form1::ApplySkin() {
    const QString skinFile = ProgramFolder() + QStringLiteral("/x/o.cjs");
    struct stat st {};
    if (::stat(QFile::encodeName(skinFile).constData(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return;
    }
    const QColor buttonFace = palette().color(QPalette::Button);
    PaintBackground(this, buttonFace);
    for (QWidget* child : findChildren<QWidget*>()) {
        // By kind: option buttons, check boxes, frames and labels.
        const bool plainFrame = child->metaObject() == &QFrame::staticMetaObject;
        if (qobject_cast<QRadioButton*>(child) != nullptr ||
            qobject_cast<QCheckBox*>(child) != nullptr ||
            qobject_cast<QGroupBox*>(child) != nullptr || qobject_cast<QLabel*>(child) != nullptr ||
            plainFrame) {
            PaintBackground(child, buttonFace);
        }
    }
    SkinFramework1.LoadSkin(skinFile, QString());
    SkinFramework1.SetApplyOptions(SkinFramework1.ApplyOptions() | 1);
    SkinFramework1.SetAutoApplyNewWindows(true);
    SkinFramework1.SetAutoApplyNewThreads(true);
    SkinFramework1.ApplyWindow(this);
}

QString Form1::AppTitleFor(const QString& productName) {
    QString title = productName;
    do {
        const qsizetype space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0) {
            break;  // a single word keeps its name
        }
        title.truncate(space);
    } while (title.size() > 40);
    return title;
}

void Form1::SetAppTitle() {
    m_appTitle = AppTitleFor(ProductName());
    QCoreApplication::setApplicationName(m_appTitle);
}

void Form1::setMousePointer(MousePointer pointer) {
    m_mousePointer = pointer;
    ShowPointer();
}

void Form1::ShowPointer() {
    switch (m_mousePointer) {
        case MousePointer::Default:
            unsetCursor();
            break;
        case MousePointer::Hourglass:
            setCursor(Qt::WaitCursor);
            break;
        case MousePointer::Custom:
            setCursor(m_mouseIcon ? *m_mouseIcon : QCursor(Qt::ArrowCursor));
            break;
    }
}

void Form1::Form_MouseMove() {
    if (m_mousePointer != MousePointer::Hourglass) {
        setMousePointer(MousePointer::Default);
    }
}

void Form1::Frame2_MouseMove() {
    Form_MouseMove();
}

void Form1::Frame3_MouseMove() {
    Form_MouseMove();
}

void Form1::PushButton_MouseMove() {
    if (m_mousePointer != MousePointer::Hourglass) {
        setMousePointer(MousePointer::Custom);
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (ListView1 != nullptr && (watched == ListView1 || watched == ListView1->viewport())) {
        return ListEvent(event) || QWidget::eventFilter(watched, event);
    }
    if (event->type() != QEvent::MouseMove) {
        return QWidget::eventFilter(watched, event);
    }
    const bool buttonHeld = static_cast<QMouseEvent*>(event)->buttons() != Qt::NoButton;
    if (watched == Frame2) {
        Frame2_MouseMove();
    } else if (watched == Frame3) {
        Frame3_MouseMove();
    } else if (watched == PushButton9 || qobject_cast<QPushButton*>(watched) != nullptr) {
        PushButton_MouseMove();
    } else {
        return QWidget::eventFilter(watched, event);
    }
    // Handled here: the form below must not see the move too. A move with a button held still
    // reaches the control (a push button tracks its pressed state with it).
    return !buttonHeld;
}

void Form1::mouseMoveEvent(QMouseEvent* event) {
    Form_MouseMove();
    QWidget::mouseMoveEvent(event);
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    Form_Unload();
}

void Form1::Form_Unload() {
    // Nothing is saved here: every choice was stored when it was made. A conversion under way
    // stops as Stop stops it, without a box: its converters end, their partial outputs and the
    // run folder go, the books already converted are put in place.
    if (m_activeRun != nullptr) {
        m_activeRun->RequestStop(true);
    }
    // A folder scan under way stops at its next step.
    SetQuitRequested(true);
    QCoreApplication::exit(0);
}

void Form1::SetText1(const QString& text) {
    if (Text1->text() == text) {
        return;
    }
    {
        const QSignalBlocker blocker(Text1);
        Text1->setText(text);
    }
    Text1_Change();
}

void Form1::SetOption(QRadioButton* option, bool selected) {
    if (selected) {
        {
            const QSignalBlocker blocker(option);
            option->setChecked(true);
        }
        if (option == Option1) {
            Option1_Click();
        } else {
            Option2_Click();
        }
        return;
    }
    if (option->isChecked()) {
        const QSignalBlocker blocker(option);
        option->setAutoExclusive(false);
        option->setChecked(false);
        option->setAutoExclusive(true);
    }
}

void Form1::Option1_Click() {
    SaveSetting(Setting::Option1, BooleanToText(Option1->isChecked()));
    SaveSetting(Setting::Option2, BooleanToText(Option2->isChecked()));
    Frame3->setEnabled(Option1->isChecked());
}

void Form1::Option2_Click() {
    Option1_Click();
}

void Form1::Text1_Change() {
    SaveSetting(Setting::Text1, Text1->text());
}

// ---- Output folder and conversion -------------------------------------------------------

void Form1::ConnectConversionHandlers() {
    m_progress = std::make_unique<ProgressBarDisplay>(ProgressBar1);
    m_desktop = new DesktopSession(this, ProductName());
    connect(PushButton9, &QPushButton::clicked, this, [this] { PushButton9_Click(); });
    connect(PushButton10, &QPushButton::clicked, this, [this] {
        try {
            PushButton10_Click();
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcForm).noquote() << "PushButton10_Click failed:" << error.description();
        }
    });
    // Escape anywhere in the window asks to stop a run, as the button does.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setObjectName(QStringLiteral("StopShortcut"));
    connect(escape, &QShortcut::activated, this, [this] {
        if (m_activeRun == nullptr || !m_activeRun->WasStarted()) {
            return;
        }
        try {
            AskToStopConverting();
        } catch (...) {
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcForm).noquote() << "Stopping failed:" << error.description();
        }
    });
    connect(PushButton2, &QPushButton::clicked, this, [this] {
        try {
            if (m_activeRun == nullptr) {
                PushButton2_Click();
            } else if (m_activeRun->WasStarted() && m_runClock.isValid() &&
                       m_runClock.elapsed() >= kStopClickDelayMs) {
                // A click that comes within moments of the start is the second half of a
                // double-click, not a request to stop.
                AskToStopConverting();
            }
        } catch (...) {
            // The run reports its own failures; this is the last resort of a slot. The run has
            // ended on its way out: the window is given back whole.
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcForm).noquote() << "PushButton2_Click failed:" << error.description();
            try {
                WindowRunFace::ShowIdle(*this, *m_progress);
                m_dialogs->MsgBox(
                    QStringLiteral("The conversion ended unexpectedly (%1). The books converted "
                                   "so far are kept; start again to convert the others.")
                        .arg(error.description()),
                    MbExclamation, m_appTitle);
            } catch (...) {
                qCWarning(lcForm) << "The window could not be reset after the run";
            }
        }
    });
}

void Form1::PushButton9_Click() {
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.PushButton9_Click"));
    QString path;
    trap.Line(100, [&] {
        m_lastFolderDot = GetSetting(Setting::LastFolderDot);
        path = BrowseForFolder(*m_dialogs, PickFolderTitle(), m_lastFolderDot);
    });
    if (!trap.Test(102, [&] { return !path.isEmpty(); })) {
        return;  // cancelled: nothing changes
    }
    trap.Line(104, [&] {
        m_lastFolderDot = path;
        SaveSetting(Setting::LastFolderDot, path);
    });
    if (trap.Test(104, [&] { return !path.endsWith(QLatin1Char('/')); })) {
        trap.Line(106, [&] { SetText1(path + QLatin1Char('/')); });
    } else {
        trap.Line(108, [&] { SetText1(path); });
    }
}

void Form1::PushButton10_Click() {
    if (m_optionsDialog != nullptr) {
        m_optionsDialog->raise();
        return;
    }
    auto* dialog = new KindleOptionsDialog(KindleChoicesFromSettings(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_optionsDialog = dialog;
    connect(dialog, &QObject::destroyed, this, [this] { m_optionsDialog = nullptr; });
    connect(dialog, &QDialog::accepted, this, [this, dialog] { SaveOptions(dialog->Choices()); });
    dialog->open();
}

void Form1::SaveOptions(const KindleChoices& choices) {
    try {
        SaveKindleChoices(choices);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcForm).noquote() << "The options could not be saved:" << error.description();
        try {
            m_dialogs->MsgBox(
                QStringLiteral("The options could not be saved: ") + error.description() +
                    QStringLiteral(".\r\nCheck that the settings file ") + SettingsFileName() +
                    QStringLiteral(" and its folder can be written, then choose them again."),
                MbExclamation, m_appTitle);
        } catch (...) {
            qCWarning(lcForm) << "The box saying so could not be shown";
        }
    }
}

void Form1::PushButton2_Click() {
    if (IsBusy) {
        return;  // line 100: a run is under way; nothing else is touched
    }
    IsBusy = true;  // line 102
    const auto idle = qScopeGuard([this] {
        IsBusy = false;  // line 180
        m_activeRun = nullptr;
        m_runClock.invalidate();
        m_desktop->RunEnded(nullptr, true);  // refused, or the window closing: nothing to tell
    });
    RunRequest request;
    request.sources = m_list->Entries();
    request.roots = m_list->Roots();
    request.outputRule = [this] {
        return OutputOptions{Option1->isChecked(), Option2->isChecked(), Text1->text()};
    };
    WindowRunFace face(*this, *m_progress, *m_desktop);
    // The Kindle choices as they are now hold for the whole run.
    ConversionRun run(std::move(request), face,
                      WithKindleChoices(m_runSetup, KindleChoicesFromSettings()));
    m_activeRun = &run;
    m_runClock.start();
    run.Start();
}

void Form1::AskToStopConverting() {
    const int answer =
        m_dialogs->MsgBox(QStringLiteral("Stop converting? Books already converted are kept."),
                          MbYesNo | MbDefaultButton2, m_appTitle);
    // The run may have ended while the box was open.
    if (answer == MbResultYes && m_activeRun != nullptr) {
        m_activeRun->RequestStop();
    }
}

// ---- The conversion list and its fillers -------------------------------------------------------

void Form1::ConnectListHandlers() {
    ListView1->installEventFilter(this);
    ListView1->viewport()->installEventFilter(this);
    ListView1->setMouseTracking(true);
    ListView1->viewport()->setMouseTracking(true);
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });
}

// The list's mouse, key and drop events, turned into its handlers. True when the event is
// handled here and the view must not see it.
bool Form1::ListEvent(QEvent* event) {
    const auto handled = [&](auto&& handler) {
        try {
            handler();
        } catch (...) {
            // The list's handlers have no error report of their own: note it and go on.
            const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
            qCWarning(lcForm).noquote()
                << "list event failed:" << error.number() << error.description();
        }
    };
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            handled([&] { ListView1_MouseDown(); });
            if (event->type() == QEvent::MouseButtonDblClick) {
                handled([&] { ListView1_DblClick(); });
                return true;
            }
            // The entry under the pointer when the button goes down is the one that moves.
            const QModelIndex item = ListView1->indexAt(mouse->position().toPoint());
            if (item.isValid()) {
                ListView1->setCurrentIndex(item);
                handled([&] { ListView1_ItemClick(item); });
            }
            return false;
        }
        case QEvent::MouseMove: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            handled([&] {
                ListView1_MouseMove(mouse->position().toPoint(),
                                    qRound(mouse->globalPosition().y()));
            });
            // With a button held the move is ours: the view must not drag its selection along.
            return mouse->buttons() != Qt::NoButton;
        }
        case QEvent::MouseButtonRelease:
            handled([&] { ListView1_MouseUp(); });
            return false;
        case QEvent::KeyPress: {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Delete) {
                handled([&] { ListView1_KeyDown(46); });
                return true;
            }
            return false;
        }
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (drag->mimeData() != nullptr && !DroppedLocalPaths(*drag->mimeData()).isEmpty()) {
                drag->acceptProposedAction();
            } else {
                drag->ignore();  // no local files: no drop here
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList paths =
                drop->mimeData() != nullptr ? DroppedLocalPaths(*drop->mimeData()) : QStringList();
            if (paths.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->acceptProposedAction();
            ListView1_OLEDragDrop(paths);
            return true;
        }
        default:
            return false;
    }
}

void Form1::RemoveSelectedEntry() {
    if (m_mousePointer == MousePointer::Hourglass || m_list->Count() == 0) {
        return;
    }
    const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;  // entries but none selected: nothing to remove
    }
    m_list->Remove(selected.front().row());
}

void Form1::ListView1_DblClick() {
    RemoveSelectedEntry();
}

void Form1::ListView1_KeyDown(int keyCode) {
    if (keyCode == 46) {
        RemoveSelectedEntry();
    }
}

void Form1::ListView1_ItemClick(const QModelIndex& item) {
    // The drag cursor is read anew at each click; without a readable drag.ico the list keeps
    // the arrow.
    const QPixmap picture(ProgramFolder() + QStringLiteral("/drag.ico"));
    if (!picture.isNull()) {
        ListView1->viewport()->setCursor(QCursor(picture));
    }
    m_listMove->ItemClick(item);
}

void Form1::ListView1_MouseDown() {
    m_listMove->MouseDown();
}

void Form1::ListView1_MouseMove(const QPoint& position, int screenY) {
    Form_MouseMove();
    if (!m_listMove->ButtonHeld()) {
        return;
    }
    const ListMove::Step step = m_listMove->MouseMove(ListView1->indexAt(position), screenY);
    if (step.selectRow >= 0) {
        ListView1->setCurrentIndex(m_list->index(step.selectRow));
    }
    if (step.showRow >= 0) {
        ListView1->scrollTo(m_list->index(step.showRow));
    }
}

void Form1::ListView1_MouseUp() {
    m_listMove->MouseUp();
    ListView1->viewport()->setCursor(Qt::ArrowCursor);
}

void Form1::ListView1_OLEDragDrop(const QStringList& paths) {
    try {
        AddDroppedPaths(*m_list, paths, *m_dialogs);
    } catch (...) {
        // The entries added so far stay; the rest of the drop is given up.
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        m_dialogs->MsgBox(QStringLiteral("Not all of the dropped files could be added: ") +
                              error.description() +
                              QStringLiteral(".\r\nThe files added so far stay in the list."),
                          MbExclamation, m_appTitle);
    }
}

void Form1::PushButton1_Click() {
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.PushButton1_Click"));
    QString result;
    bool tooMany = false;
    trap.Line(100, [&] {
        try {
            result = m_dialogs->ShowOpen(AddFilesRequest());
        } catch (const RunTimeError& error) {
            if (error.number() != ErrBufferTooSmall) {
                throw;
            }
            tooMany = true;
        }
    });
    if (tooMany) {
        m_dialogs->MsgBox(TooManyFilesMessage(), MbOkOnly, m_appTitle);
        return;
    }
    trap.Line(102, [&] { m_list->Append(DialogResultPaths(result)); });
}

void Form1::PushButton4_Click() {
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.PushButton4_Click"));
    QString extension;
    QString lastFolder;
    QString folder;
    trap.Line(100, [&] {
        extension =
            m_dialogs->InputBox(ExtensionPrompt(), m_appTitle, GetSetting(Setting::Extension));
    });
    if (trap.Test(102, [&] { return !extension.isEmpty(); })) {
        trap.Line(104, [&] { SaveSetting(Setting::Extension, extension); });
    }
    if (extension.isEmpty()) {
        return;
    }
    trap.Line(108, [&] { lastFolder = GetSetting(Setting::LastFolder); });
    trap.Line(110, [&] { folder = BrowseForFolder(*m_dialogs, PickFolderTitle(), lastFolder); });
    if (folder.isEmpty()) {
        return;
    }
    trap.Line(114, [&] { SaveSetting(Setting::LastFolder, folder); });
    // The pointer goes back to what the scan found: the hourglass of a conversion run under
    // way stays.
    const MousePointer found =
        m_mousePointer == MousePointer::Hourglass ? MousePointer::Hourglass : MousePointer::Default;
    trap.Line(116, [&] { setMousePointer(MousePointer::Hourglass); });
    trap.Line(118, [&] {
        m_list->Append(ListFilesInFolderTree(folder, PatternForExtension(extension), *m_dialogs),
                       folder);
    });
    trap.Line(120, [&] { setMousePointer(found); });
}

void Form1::PushButton6_Click() {
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.PushButton6_Click"));
    if (trap.Test(100, [&] { return m_mousePointer == MousePointer::Hourglass; })) {
        return;
    }
    trap.Line(102, [&] { m_list->Clear(); });
}

void Form1::PushButton7_Click() {
    ErrorTrap trap(*m_dialogs, QStringLiteral("Form1.PushButton7_Click"));
    trap.Line(100, [&] { LoadSampleFiles(*m_list, *m_dialogs, m_appTitle); });
}

}  // namespace bq
