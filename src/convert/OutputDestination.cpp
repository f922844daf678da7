#include "convert/OutputDestination.h"

#include "fs/FileTests.h"
#include "fs/PathText.h"

#include <QStringList>

namespace bq {

bool DestinationIsUsable(const OutputOptions& options) {
    // The folder is tested even when option2 makes the answer irrelevant.
    const bool folderExists = FolderExists(options.text1);
    return folderExists || options.option2;
}

QString OutputPathFor(const QString& source, const OutputOptions& options,
                      const QString& subFolder) {
    const QString name = StripExtension(FileNamePart(source)) + QStringLiteral(".mobi");
    if (!ResultsGoToOneFolder(options)) {
        return CollapseSeparators(FolderPart(source) + QLatin1Char('/') + name);
    }
    const QString folder = subFolder.isEmpty()
                               ? options.text1
                               : options.text1 + QLatin1Char('/') + subFolder + QLatin1Char('/');
    return CollapseSeparators(folder + QLatin1Char('/') + name);
}

bool ResultsGoToOneFolder(const OutputOptions& options) {
    return !(options.option2 && !options.option1);
}

QString KeptSubFolder(const QString& source, const QString& root, const OutputOptions& options) {
    if (root.isEmpty() || !ResultsGoToOneFolder(options)) {
        return {};
    }
    const QString base = CollapseSeparators(root + QLatin1Char('/'));
    const QString folder = CollapseSeparators(FolderPart(source));
    if (!folder.startsWith(base) || folder.size() <= base.size()) {
        return {};
    }
    QString below = folder.mid(base.size());
    while (below.endsWith(QLatin1Char('/'))) {
        below.chop(1);
    }
    // A ".." would climb out of the target folder: such a text is no sub-folder.
    for (const QString& name : below.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (name == QLatin1String("..") || name == QLatin1String(".")) {
            return {};
        }
    }
    return below;
}

}  // namespace bq
