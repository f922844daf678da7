#include "convert/OutputDestination.h"

#include "fs/FileTests.h"
#include "fs/PathText.h"

namespace bq {

bool DestinationIsUsable(const OutputOptions& options) {
    // The folder is tested even when option2 makes the answer irrelevant.
    const bool folderExists = FolderExists(options.text1);
    return folderExists || options.option2;
}

QString OutputPathFor(const QString& source, const OutputOptions& options) {
    const QString name = StripExtension(FileNamePart(source)) + QStringLiteral(".mobi");
    const QString folder = options.option2 && !options.option1 ? FolderPart(source) : options.text1;
    return CollapseSeparators(folder + QLatin1Char('/') + name);
}

}  // namespace bq
