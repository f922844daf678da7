#include "list/SampleFiles.h"

#include "fs/FileTests.h"
#include "fs/FolderScan.h"
#include "list/ConversionList.h"
#include "list/ListContainsItem.h"
#include "platform/DialogSeam.h"
#include "platform/ProgramFolder.h"
#include "platform/SettingsStore.h"

#include <algorithm>

namespace bq {

namespace {

QString ProgramFolderWithSeparator() {
    const QString folder = ProgramFolder();
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

const QChar kSeparator = QLatin1Char('|');
const QChar kEscape = QLatin1Char('\\');

}  // namespace

QString SnapshotRecord(const QStringList& paths) {
    const bool plain = std::none_of(paths.cbegin(), paths.cend(), [](const QString& path) {
        return path.isEmpty() || path.contains(kSeparator);
    });
    if (plain) {
        return paths.join(kSeparator);
    }
    QString record;
    for (const QString& path : paths) {
        record += kSeparator;
        for (const QChar c : path) {
            if (c == kSeparator || c == kEscape) {
                record += kEscape;
            }
            record += c;
        }
    }
    return record;
}

QStringList SnapshotPaths(const QString& record) {
    if (record.isEmpty()) {
        return {};
    }
    if (!record.startsWith(kSeparator)) {
        return record.split(kSeparator);
    }
    QStringList paths;
    QString path;
    for (qsizetype i = 1; i < record.size(); ++i) {
        if (record[i] == kEscape && i + 1 < record.size()) {
            path += record[++i];
        } else if (record[i] == kSeparator) {
            paths << path;
            path.clear();
        } else {
            path += record[i];
        }
    }
    paths << path;
    return paths;
}

QString SamplesFolder() {
    return ProgramFolderWithSeparator() + QStringLiteral("Samples");
}

void TakeSampleSnapshot() {
    const NameArray names = ListFilesInFolder(SamplesFolder(), QStringLiteral("*.*"));
    QStringList paths;
    for (int i = 1; i <= names.UBound(); ++i) {
        paths << ProgramFolderWithSeparator() + QStringLiteral("Samples/") + names.At(i);
    }
    SaveSetting(Setting::Snapshot, SnapshotRecord(paths));
}

void LoadSampleFiles(ConversionList& list, DialogSeam& dialogs, const QString& appTitle) {
    for (const QString& path : SnapshotPaths(GetSetting(Setting::Snapshot))) {
        if (FileIsPresent(path) && !ListContainsItem(list, path)) {
            list.Append(path);
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
