#include "list/FolderRoute.h"

namespace bq {

QString ExtensionPrompt() {
    return QStringLiteral(
        "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all "
        "doc files, etc.)");
}

QString PickFolderTitle() {
    return QStringLiteral("Please select folder:");
}

QString PatternForExtension(const QString& extension) {
    return QStringLiteral("*.") + extension;
}

}  // namespace bq
