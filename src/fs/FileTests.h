#pragma once

#include <QString>

namespace bq {

// True when the path names something whose status can be read (links followed); false on any
// error and for "".
bool FileIsPresent(const QString& path);

// True when the path (links followed) is a folder; false on any error.
bool FolderExists(const QString& path);

}  // namespace bq
