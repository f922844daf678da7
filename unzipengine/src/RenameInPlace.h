// Putting a finished file in place under its entry's name, by a rename that either replaces what
// is there or never does. File systems that refuse the no-replace flag (NFS, some FUSE file
// systems: EINVAL or ENOSYS) get a hard link to the new name and the old name removed, which
// never replaces either.
#pragma once

namespace bq::unzipengine {

// The renameat2 call the renames go through: the system's, unless a test puts one here that
// refuses the flag as such a file system does.
using RenameAt2Call = int (*)(int fromFolder, const char* from, int toFolder, const char* to,
                              unsigned int flags);
extern RenameAt2Call renameAt2Call;

// Renames from to to, both in the open folder. replace: whatever is at to is replaced;
// otherwise a to that exists fails with EEXIST and stays as it is. 0, or -1 with errno set.
int RenameInPlace(int folder, const char* from, const char* to, bool replace);

}  // namespace bq::unzipengine
