#include "list/CommandLinePaths.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>

namespace bq {

namespace {

// "scheme://...": a URL. A plain path can hold "://" only after a first folder name, and a
// folder name that is a URL scheme followed by ':' is rare enough to be read as one.
bool LooksLikeUrl(const QString& argument) {
    static const QRegularExpression url(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return url.match(argument).hasMatch();
}

}  // namespace

QStringList CommandLinePaths(const QStringList& arguments, const QString& currentFolder) {
    QStringList paths;
    const QDir current(currentFolder);
    for (const QString& argument : arguments) {
        if (argument.isEmpty()) {
            continue;
        }
        QString path = argument;
        if (LooksLikeUrl(argument)) {
            QUrl url(argument);
            if (!url.isValid() || !url.isLocalFile()) {
                continue;
            }
            // file://localhost/... is this machine; any other host is not a local file.
            if (!url.host().isEmpty()) {
                if (url.host().compare(QStringLiteral("localhost"), Qt::CaseInsensitive) != 0) {
                    continue;
                }
                url.setHost(QString());
            }
            path = url.toLocalFile();
            if (path.isEmpty()) {
                continue;
            }
        }
        paths.append(QDir::cleanPath(current.absoluteFilePath(path)));
    }
    return paths;
}

}  // namespace bq
