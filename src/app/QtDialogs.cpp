#include "app/QtDialogs.h"

#include "fs/PathText.h"
#include "platform/RunTimeError.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

namespace bq {

QString DisplayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

QString QtFileFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt shows the whole text and takes the patterns from its parentheses; a description
        // that shows them already ("EPUB (*.epub)") is not given them twice.
        const QString shown = QStringLiteral("(") + patterns + QLatin1Char(')');
        filters << (parts[i].endsWith(shown) ? parts[i] : parts[i] + QLatin1Char(' ') + shown);
    }
    return filters.join(QStringLiteral(";;"));
}

QString OpenDialogResult(const QStringList& files, int maxFileSize) {
    QString result;
    if (files.size() == 1) {
        result = files.front();
    } else if (files.size() > 1) {
        result = PickedFolder(FolderPart(files.front()));
        for (const QString& file : files) {
            result += QChar(0) + FileNamePart(file);
        }
    }
    if (result.size() >= maxFileSize) {
        RaiseError(ErrBufferTooSmall, QStringLiteral("CommonDialog"));
    }
    return result;
}

QString PickedFolder(const QString& folder) {
    QString path = folder;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    return path;
}

namespace {

// A message box's title, text and icon as the style asks.
void SetUpBox(QMessageBox& box, const QString& prompt, int style, const QString& title) {
    box.setWindowTitle(title);
    box.setText(DisplayText(prompt));
    box.setTextFormat(Qt::PlainText);
    switch (style & 0x70) {
        case 16:
            box.setIcon(QMessageBox::Critical);
            break;
        case MbQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case MbExclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case 64:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
}

// Makes button, once it is in its box, the one that opens folder through the seam each time it
// is pressed. Its box's own reaction (closing, for a message box) is taken from it: the box
// stays open.
void OpenFolderOnClick(QAbstractButton* button, DialogSeam& seam, const QString& folder) {
    button->setAccessibleName(button->text());
    QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
    QObject::connect(button, &QAbstractButton::clicked, button, [&seam, folder] {
        // A slot: nothing may leave it.
        try {
            seam.ShellOpenFolder(folder);
        } catch (...) {
            qWarning("The folder %s could not be opened", qUtf8Printable(folder));
        }
    });
}

}  // namespace

int QtDialogs::MsgBox(const QString& prompt, int style, const QString& title) {
    QMessageBox box(m_parent);
    SetUpBox(box, prompt, style, title);
    if ((style & 7) == MbYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((style & MbDefaultButton2) != 0 ? QMessageBox::No : QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MbResultYes : MbResultNo;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MbResultOk;
}

QString QtDialogs::InputBox(const QString& prompt, const QString& title,
                            const QString& defaultText) {
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, title, DisplayText(prompt),
                                               QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

QString QtDialogs::ShowOpen(const OpenFileRequest& request) {
    const QStringList files = QFileDialog::getOpenFileNames(
        m_parent, request.title, request.initialFolder, QtFileFilter(request.filter));
    return OpenDialogResult(files, request.maxFileSize);
}

QString QtDialogs::BrowseForFolder(const QString& title, const QString& initialFolder) {
    const QString folder = QFileDialog::getExistingDirectory(m_parent, title, initialFolder,
                                                             QFileDialog::ShowDirsOnly);
    return folder.isEmpty() ? QString() : PickedFolder(folder);
}

void QtDialogs::ShellOpenFolder(const QString& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

int QtDialogs::MsgBoxWithDetails(const QString& prompt, const QString& details, int style,
                                 const QString& title) {
    return ShowWithDetails(prompt, details, style, title, QString());
}

int QtDialogs::MsgBoxWithFolder(const QString& prompt, const QString& details, int style,
                                const QString& title, const QString& folder) {
    return ShowWithDetails(prompt, details, style, title, folder);
}

int QtDialogs::ShowWithDetails(const QString& prompt, const QString& details, int style,
                               const QString& title, const QString& folder) {
    const QString shownDetails = DisplayText(details);
    if (shownDetails.count(QLatin1Char('\n')) < kLinesInABox) {
        if (folder.isEmpty()) {
            return DialogSeam::MsgBoxWithDetails(prompt, details, style, title);
        }
        QMessageBox box(m_parent);
        SetUpBox(box, prompt + QStringLiteral("\r\n\r\n") + details, style, title);
        box.setStandardButtons(QMessageBox::Ok);
        OpenFolderOnClick(box.addButton(OpenFolderCaption(), QMessageBox::ActionRole), *this,
                          folder);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
        box.exec();
        return MbResultOk;
    }
    QDialog dialog(m_parent);
    dialog.setWindowTitle(title);
    dialog.setAccessibleName(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* top = new QHBoxLayout;
    if ((style & 0x70) == MbExclamation) {
        auto* icon = new QLabel(&dialog);
        const int size = dialog.style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
        icon->setPixmap(dialog.style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(size));
        icon->setAccessibleName(QStringLiteral("Warning"));
        top->addWidget(icon, 0, Qt::AlignTop);
    }
    auto* text = new QLabel(DisplayText(prompt), &dialog);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    top->addWidget(text, 1);
    layout->addLayout(top);
    auto* view = new QPlainTextEdit(&dialog);
    view->setObjectName(QStringLiteral("details"));
    view->setAccessibleName(QStringLiteral("Details"));
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view->setPlainText(shownDetails);
    layout->addWidget(view, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    if (!folder.isEmpty()) {
        OpenFolderOnClick(buttons->addButton(OpenFolderCaption(), QDialogButtonBox::ActionRole),
                          *this, folder);
    }
    layout->addWidget(buttons);
    dialog.resize(620, 440);
    buttons->button(QDialogButtonBox::Ok)->setFocus();
    dialog.exec();
    return MbResultOk;
}

}  // namespace bq
