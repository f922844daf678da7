#include "list/AddFilesByDialog.h"

#include "fs/PathText.h"

namespace bq {

OpenFileRequest AddFilesRequest() {
    OpenFileRequest request;
    request.title = QStringLiteral("Add File(s) - Hold Ctrl to select multiple files");
    request.filter = QStringLiteral("EPUB (*.epub)|*.epub|");
    request.maxFileSize = 30000;
    return request;
}

QString TooManyFilesMessage() {
    return QStringLiteral(
        "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.");
}

QStringList DialogResultPaths(const QString& result) {
    if (result.isEmpty()) {
        return {};
    }
    const QStringList parts = result.split(QChar(0));
    if (parts.size() == 1) {
        return parts;
    }
    QStringList paths;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        paths.append(CollapseSeparators(parts.front() + QLatin1Char('/') + parts.at(i)));
    }
    return paths;
}

}  // namespace bq
