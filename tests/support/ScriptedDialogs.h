#pragma once

#include "platform/DialogSeam.h"
#include "platform/RunTimeError.h"

#include <QList>
#include <QStringList>

// Answers the window's boxes and dialogs without a person, and remembers what was shown.
class ScriptedDialogs final : public bq::DialogSeam {
  public:
    struct Box {
        QString prompt;
        int style;
        QString title;
    };

    QList<Box> boxes;
    QList<int> boxAnswers;      // answers in order; OK (or No for Yes/No boxes) when empty
    QStringList inputAnswers;   // "" (cancel) when empty
    QStringList openAnswers;    // "" (cancel) when empty
    QStringList folderAnswers;  // "" (cancel) when empty
    QStringList inputPrompts;
    QStringList folderTitles;
    QStringList folderInitials;
    QStringList openedFolders;
    QStringList logFolders;      // the folders boxes offered to open, in order
    bool openLogFolder = false;  // "Open Log Folder" is pressed in each box that has it
    QList<bq::OpenFileRequest> openRequests;

    // The texts of the boxes shown, in order.
    QStringList Prompts() const {
        QStringList prompts;
        for (const Box& box : boxes) {
            prompts << box.prompt;
        }
        return prompts;
    }

    int MsgBox(const QString& prompt, int style, const QString& title) override {
        boxes.append({prompt, style, title});
        if (!boxAnswers.isEmpty()) {
            return boxAnswers.takeFirst();
        }
        return (style & 7) == bq::MbYesNo ? bq::MbResultNo : bq::MbResultOk;
    }
    QString InputBox(const QString& prompt, const QString&, const QString&) override {
        inputPrompts << prompt;
        return inputAnswers.isEmpty() ? QString() : inputAnswers.takeFirst();
    }
    // An answer that does not fit in the request's buffer fails as the real dialog does.
    QString ShowOpen(const bq::OpenFileRequest& request) override {
        openRequests << request;
        const QString answer = openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
        if (answer.size() >= request.maxFileSize) {
            bq::RaiseError(bq::ErrBufferTooSmall, QStringLiteral("CommonDialog"));
        }
        return answer;
    }
    QString BrowseForFolder(const QString& title, const QString& initialFolder) override {
        folderTitles << title;
        folderInitials << initialFolder;
        return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
    }
    void ShellOpenFolder(const QString& folder) override { openedFolders << folder; }
    int MsgBoxWithFolder(const QString& prompt, const QString& details, int style,
                         const QString& title, const QString& folder) override {
        logFolders << folder;
        if (openLogFolder) {
            ShellOpenFolder(folder);
        }
        return MsgBoxWithDetails(prompt, details, style, title);
    }
};
