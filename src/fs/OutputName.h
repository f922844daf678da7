#pragma once

#include <QString>

namespace bq {

// Why the output folder cannot hold a file of that name, as a clause that follows
// "<book> was not converted: "; "" when it can. A name is at most 255 bytes long anywhere; on
// FAT and exFAT (and NTFS mounted with windows_names) it holds none of : ? * " < > | \ nor a
// control character.
QString OutputNameProblem(const QString& folder, const QString& name);

// True when names that differ only in letter case are one file in the folder (FAT and exFAT
// sticks, e-readers, casefolded ext4 folders). Tried out on the folder itself with a short-lived
// file of its own; a folder that takes no new file is judged by its file system's type. Nothing
// is remembered between calls.
bool FolderIgnoresCase(const QString& folder);

// A text that is equal for two outputs exactly when they are one file: the output's canonical
// folder, "/", and its name, case-folded when the folder ignores case (see FolderIgnoresCase).
QString OutputIdentityKey(const QString& output, bool ignoresCase);

}  // namespace bq
