#pragma once

#include "platform/DialogSeam.h"

class QWidget;

namespace bq {

// The dialogs a person sees: Qt's message boxes, input dialog, file dialogs and the desktop's
// file manager.
class QtDialogs final : public DialogSeam {
  public:
    explicit QtDialogs(QWidget* parent) : m_parent(parent) {}

    int MsgBox(const QString& prompt, int style, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
    QString ShowOpen(const OpenFileRequest& request) override;
    QString BrowseForFolder(const QString& title, const QString& initialFolder) override;
    void ShellOpenFolder(const QString& folder) override;
    // Short details go into a message box; long ones into a scrolling text below the prompt.
    int MsgBoxWithDetails(const QString& prompt, const QString& details, int style,
                          const QString& title) override;
    int MsgBoxWithFolder(const QString& prompt, const QString& details, int style,
                         const QString& title, const QString& folder) override;

    // Details of more lines than this get a scrolling text of their own.
    static constexpr int kLinesInABox = 14;

    // The caption of the button that opens a box's folder.
    static QString OpenFolderCaption() { return QStringLiteral("Open Log Folder"); }

  private:
    // MsgBoxWithDetails, with the button that opens folder unless folder is "".
    int ShowWithDetails(const QString& prompt, const QString& details, int style,
                        const QString& title, const QString& folder);

    QWidget* m_parent;
};

// A text as a box shows it: each CR LF and each lone CR becomes a line break.
QString DisplayText(const QString& text);

// "Description|*.a;*.b|Other|*.*" in the form Qt's file dialog takes.
QString QtFileFilter(const QString& filter);

// The selected files in the dialog's own result form: one path, or the folder, a NUL and the
// names separated by NULs. Raises "Buffer too small" (20476) when the result would not fit in
// maxFileSize characters.
QString OpenDialogResult(const QStringList& files, int maxFileSize);

// A chosen folder as the folder picker returns it: no trailing "/" except for "/" itself.
QString PickedFolder(const QString& folder);

}  // namespace bq
