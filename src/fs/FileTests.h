#pragma once

#include <QString>

#include <sys/types.h>

namespace bq {

// True when the path names something whose status can be read (links followed); false on any
// error and for "".
bool FileIsPresent(const QString& path);

// True when the path (links followed) is a folder; false on any error.
bool FolderExists(const QString& path);

// The process's file-creation mask (read without changing it), for giving a file made under
// another mode the mode a new file would have had.
mode_t CurrentUmask();

}  // namespace bq
