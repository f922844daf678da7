#pragma once

#include <QString>
#include <QStringList>

namespace bq {

class DialogSeam;

// The folder tree scan: turns a folder into the ordered list of the files below it that the
// conversion list should receive. It survives what a disk holds: unreadable folders, dot-folders,
// names that are not valid in the file system's encoding, over-long paths, links (a link to a
// folder is followed, but no folder is entered twice in one scan, so link loops end), FIFOs and
// devices (never listed, never opened), and files that are listed but cannot be opened. It yields
// to the message loop as it walks.

// The names ListFilesInFolder gives, with their index range: 1..n, or 0..0 holding "" when no
// name qualifies (so that a loop from 1 to UBound() does nothing).
class NameArray {
  public:
    int LBound() const { return m_names.isEmpty() ? 0 : 1; }
    int UBound() const { return static_cast<int>(m_names.size()); }
    // The name at index i (LBound() <= i <= UBound()).
    QString At(int i) const { return i == 0 ? QString() : m_names.at(i - 1); }
    const QStringList& Names() const { return m_names; }
    void Append(const QString& name) { m_names.append(name); }

  private:
    QStringList m_names;
};

// Every file of `top` and of all its sub-folders whose name matches `pattern` (see NamePattern):
// the top folder's files first, then each sub-folder's, breadth-first by depth, each folder's
// files in listing order. Left out: names beginning with "~" or ".", files that do not open for
// reading, everything in dot-folders and unreadable folders. Paths come out with single "/".
// dialogs: where the scan's own error report goes.
QStringList ListFilesInFolderTree(const QString& top, const QString& pattern, DialogSeam& dialogs);

// Extends `folders` (paths ending in "/") in place with all folders below them, breadth-first by
// depth. A folder that cannot be listed for want of permission, or that is gone, is removed from
// `folders` without a message. With recurse false only one level is added.
void GetSubDirectories2016(QStringList& folders, bool recurse, DialogSeam& dialogs);

// True when the name holds a character below 32, from 127 to 159, or "?".
bool HasUnusualCharacters(const QString& name);

// The names of the files in `folder` that match `pattern` and open for reading, in listing order;
// dot-files included, folders never. A folder that cannot be listed gives no names, as does a
// name that is not valid in the file system's encoding.
NameArray ListFilesInFolder(const QString& folder, const QString& pattern);

// True exactly when the path is a regular file (links followed) that opens for reading. Never
// blocks: FIFOs, sockets and devices give false without being opened. A folder and "" give false.
bool FileExistsChecked(const QString& path);

}  // namespace bq
