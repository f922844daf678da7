#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace bq {

// What a folder tree holds for a conversion named on the command line.
struct FolderTreeAsIs {
    QList<QByteArray> files;       // absolute paths, as the file system's bytes
    QList<QByteArray> unreadable;  // folders that could not be listed (the top among them)
};

// Every regular file (links followed) of `top` and of all its sub-folders whose name matches
// `pattern` (see NamePattern), in the order of ListFilesInFolderTree: the top folder's files
// first, then each sub-folder's, breadth-first by depth, each folder's in listing order. Unlike
// that scan (the window's, which leaves such names out by design), every name the file system
// holds is listed, also names with "?" or control characters and names that are not valid
// UTF-8: they are carried as bytes. Left out as there: names beginning with "~" or ".",
// everything in dot-folders, FIFOs and devices (never opened), a folder reached a second time
// (through a link, or a link loop). A file that cannot be read is listed, so that its failure is
// told; a folder that cannot be listed is named in `unreadable`. `top` ends without "/".
FolderTreeAsIs ListFolderTreeAsIs(const QByteArray& top, const QString& pattern);

}  // namespace bq
