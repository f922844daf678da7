#pragma once

#include <QString>

namespace bq {

// Lets the message loop run once, then deletes the file (a read-only file too). Never fails: a
// file that cannot be deleted stays.
void DeleteFileForced(const QString& path);

// Deletes the file whatever its permission bits; errors are raised to the caller.
void FsoDeleteFile(const QString& path);

// Removes an empty folder; errors are ignored.
void RemoveFolderQuiet(const QString& path);

// Deletes the folder with everything below it. Symbolic links are removed, never followed (a
// link to a folder outside the tree leaves that folder untouched), and an entry that vanishes
// while the tree is deleted is skipped. What cannot be deleted stays, with the folders above
// it; a folder whose permissions cannot be opened up raises its error to the caller.
void DeleteFolderTree(const QString& path);

}  // namespace bq
