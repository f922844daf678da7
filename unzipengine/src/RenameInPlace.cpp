// Renames that put a finished file in place (see RenameInPlace.h).
#include "RenameInPlace.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace bq::unzipengine {

RenameAt2Call renameAt2Call = ::renameat2;

int RenameInPlace(int folder, const char* from, const char* to, bool replace) {
    if (replace) {
        return ::renameat(folder, from, folder, to);
    }
    if (renameAt2Call(folder, from, folder, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // The file system does not know the flag. A link is never made over an existing name
    // (EEXIST); once it is made, the file is whole under its name, and the temporary name goes.
    if (::linkat(folder, from, folder, to, 0) != 0) {
        return -1;
    }
    const int saved = errno;
    ::unlinkat(folder, from, 0);
    errno = saved;
    return 0;
}

}  // namespace bq::unzipengine
