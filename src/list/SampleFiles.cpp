#include "list/SampleFiles.h"

#include "fs/FileTests.h"
#include "fs/FolderScan.h"
#include "list/ConversionList.h"
#include "list/ListContainsItem.h"
#include "platform/DialogSeam.h"
#include "platform/ProgramFolder.h"
#include "platform/SettingsStore.h"

namespace bq {

namespace {

QString ProgramFolderWithSeparator() {
    const QString folder = ProgramFolder();
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

}  // namespace

QString SamplesFolder() {
    return ProgramFolderWithSeparator() + QStringLiteral("Samples");
}

void TakeSampleSnapshot() {
    const NameArray names = ListFilesInFolder(SamplesFolder(), QStringLiteral("*.*"));
    QString record;
    for (int i = 1; i <= names.UBound(); ++i) {
        record += ProgramFolderWithSeparator() + QStringLiteral("Samples/") + names.At(i) +
                  QLatin1Char('|');
    }
    if (!record.isEmpty()) {
        record.chop(1);
    }
    SaveSetting(Setting::Snapshot, record);
}

void LoadSampleFiles(ConversionList& list, DialogSeam& dialogs, const QString& appTitle) {
    const QString record = GetSetting(Setting::Snapshot);
    if (!record.isEmpty()) {
        for (const QString& path : record.split(QLatin1Char('|'))) {
            if (FileIsPresent(path) && !ListContainsItem(list, path)) {
                list.Append(path);
            }
        }
    }
    const int answer = dialogs.MsgBox(
        QStringLiteral("Would you like this software to open the folder where these sample files "
                       "are stored (so that you can view them before working with them)?"),
        MbYesNo, appTitle);
    if (answer == MbResultYes) {
        dialogs.ShellOpenFolder(SamplesFolder() + QLatin1Char('/'));
    }
}

}  // namespace bq
