#pragma once

#include <QString>

namespace bq {

// Message box styles and answers, as numbers (the values callers pass and stored texts use).
enum MsgBoxStyle : int {
    MbOkOnly = 0,
    MbYesNo = 4,
    MbQuestion = 32,
    MbExclamation = 48,
    // The second button (No, for a Yes/No box) is the one Enter presses.
    MbDefaultButton2 = 256,
};
enum MsgBoxResult : int {
    MbResultOk = 1,
    MbResultCancel = 2,
    MbResultYes = 6,
    MbResultNo = 7,
};

// What the multi-select open dialog is asked to show.
struct OpenFileRequest {
    QString title;
    QString filter;  // "Description|*.ext|Other|*.*" pairs
    QString initialFolder;
    int maxFileSize = 30000;  // characters the result may take
};

// Every box, dialog and shell call of the window goes through this one interface: the program
// shows Qt's dialogs (QtDialogs), tests answer them.
class DialogSeam {
  public:
    virtual ~DialogSeam() = default;

    // A message box; text and title are kept exactly (CR LF and lone CR are line breaks).
    virtual int MsgBox(const QString& prompt, int style, const QString& title) = 0;

    // The input box: the typed text, or "" when cancelled.
    virtual QString InputBox(const QString& prompt, const QString& title,
                             const QString& defaultText) = 0;

    // The multi-select open dialog. "" when cancelled; one selected file gives its path; several
    // give the folder, a NUL, and the names separated by NULs. A result longer than
    // maxFileSize raises the "Buffer too small" error (20476).
    virtual QString ShowOpen(const OpenFileRequest& request) = 0;

    // The folder picker: the chosen folder ("/" stays "/", others have no trailing "/"),
    // or "" when cancelled.
    virtual QString BrowseForFolder(const QString& title, const QString& initialFolder) = 0;

    // Opens a folder in the desktop's file manager.
    virtual void ShellOpenFolder(const QString& folder) = 0;

    // A message box whose details may run to hundreds of lines: the prompt, and below it the
    // details in a text the person can scroll and copy. A seam without a view of its own shows
    // both in one message box, the details after an empty line.
    virtual int MsgBoxWithDetails(const QString& prompt, const QString& details, int style,
                                  const QString& title) {
        return MsgBox(details.isEmpty() ? prompt : prompt + QStringLiteral("\r\n\r\n") + details,
                      style, title);
    }

    // MsgBoxWithDetails with one more button, "Open Log Folder", which opens folder in the
    // desktop's file manager (ShellOpenFolder) and leaves the box open. A seam without a view of
    // its own shows the box without it (the details name the folder).
    virtual int MsgBoxWithFolder(const QString& prompt, const QString& details, int style,
                                 const QString& title, [[maybe_unused]] const QString& folder) {
        return MsgBoxWithDetails(prompt, details, style, title);
    }
};

}  // namespace bq
