#include "list/FolderPicker.h"

#include "platform/DialogSeam.h"

namespace bq {

QString BrowseForFolder(DialogSeam& dialogs, const QString& title, const QString& initialFolder) {
    return dialogs.BrowseForFolder(title, initialFolder);
}

}  // namespace bq
