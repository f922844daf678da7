#include "list/DroppedPaths.h"

#include "fs/FileTests.h"
#include "fs/FolderScan.h"
#include "list/ConversionList.h"

#include <QMimeData>
#include <QUrl>

namespace bq {

QStringList DroppedLocalPaths(const QMimeData& data) {
    QStringList paths;
    if (!data.hasUrls()) {
        return paths;
    }
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile()) {
            const QString path = url.toLocalFile();
            if (!path.isEmpty()) {
                paths.append(path);
            }
        }
    }
    return paths;
}

void AddDroppedPaths(ConversionList& list, const QStringList& paths, DialogSeam& dialogs) {
    for (const QString& path : paths) {
        if (FolderExists(path)) {
            list.Append(ListFilesInFolderTree(path, QStringLiteral("*.*"), dialogs), path);
        } else {
            list.Append(path);
        }
    }
}

}  // namespace bq
