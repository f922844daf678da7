#pragma once

#include <QString>

namespace bq {

// The mounted file system that holds a folder, as the kernel lists it in /proc/self/mountinfo.
struct FolderFileSystem {
    QString type;        // "ext4", "vfat", "exfat", "fuse.fusefat", "fuseblk"...; "" when unknown
    QString mountPoint;  // where it is mounted; "" when unknown
    QString options;     // its own options, comma-separated ("rw,fmask=0022,...")
};

// The file system of the mount that holds the folder: the longest mount point that is the
// folder's canonical path or one of its parents (the topmost of mounts stacked there). Without
// /proc, the type comes from statfs (only "vfat", "exfat" and "ntfs" are told apart then).
// Everything is "" when the folder cannot be reached.
FolderFileSystem FolderFileSystemOf(const QString& folder);

}  // namespace bq
