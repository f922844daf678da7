#pragma once

#include <QString>

namespace bq {

// "Add All EPUB File(s) In Folder": the texts of its prompts and the pattern it scans with.

// The extension prompt.
QString ExtensionPrompt();

// The folder picker's title.
QString PickFolderTitle();

// The name pattern for an extension as typed: "*." followed by it, unchanged ("*" gives "*.*").
QString PatternForExtension(const QString& extension);

}  // namespace bq
