// A small command that runs one helper and prints its outcome, so that tests can run it as an
// unprivileged user: "ok", or "error N" for a run-time error N (exit code 3).
#include "fs/FileDeletion.h"
#include "fs/FolderScan.h"
#include "fs/WriteBytesIfAbsent.h"
#include "platform/DialogSeam.h"
#include "platform/RunTimeError.h"
#include "platform/SettingsStore.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

// Boxes a scan would show, printed instead.
class PrintedDialogs final : public bq::DialogSeam {
  public:
    int MsgBox(const QString& prompt, int, const QString&) override {
        std::printf("box %s\n", qPrintable(prompt));
        return bq::MbResultOk;
    }
    QString InputBox(const QString&, const QString&, const QString&) override { return {}; }
    QString ShowOpen(const bq::OpenFileRequest&) override { return {}; }
    QString BrowseForFolder(const QString&, const QString&) override { return {}; }
    void ShellOpenFolder(const QString&) override {}
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    try {
        if (args.size() == 2 && args[0] == QLatin1String("delete-tree")) {
            bq::DeleteFolderTree(args[1]);
        } else if (args.size() == 3 && args[0] == QLatin1String("write")) {
            bq::WriteBytesIfAbsent(args[2].toUtf8(), args[1]);
        } else if (args.size() == 2 && args[0] == QLatin1String("read-setting")) {
            std::printf("value %s\n", qPrintable(bq::GetSetting(args[1], QStringLiteral("-"))));
        } else if (args.size() == 3 && args[0] == QLatin1String("scan")) {
            PrintedDialogs dialogs;
            for (const QString& path : bq::ListFilesInFolderTree(args[1], args[2], dialogs)) {
                std::printf("file %s\n", QFile::encodeName(path).constData());
            }
        } else if (args.size() == 2 && args[0] == QLatin1String("exists-checked")) {
            std::printf("%s\n", bq::FileExistsChecked(args[1]) ? "true" : "false");
        } else if (args.size() >= 2 && args[0] == QLatin1String("settings")) {
            // Steps "get:KEY" and "set:KEY=VALUE", each printing its own outcome.
            for (const QString& step : args.mid(1)) {
                try {
                    if (step.startsWith(QLatin1String("get:"))) {
                        std::printf("value %s\n",
                                    qPrintable(bq::GetSetting(step.mid(4), QStringLiteral("-"))));
                    } else {
                        const qsizetype equals = step.indexOf(QLatin1Char('='));
                        bq::SaveSetting(step.mid(4, equals - 4), step.mid(equals + 1));
                        std::puts("saved");
                    }
                } catch (const bq::RunTimeError& e) {
                    std::printf("error %d\n", e.number());
                }
            }
        } else {
            std::fputs(
                "usage: probe delete-tree PATH | write PATH TEXT | read-setting KEY | "
                "settings get:KEY|set:KEY=VALUE... | scan TOP PATTERN | exists-checked PATH\n",
                stderr);
            return 2;
        }
    } catch (const bq::RunTimeError& e) {
        std::printf("error %d\n", e.number());
        return 3;
    }
    std::puts("ok");
    return 0;
}
