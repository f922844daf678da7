#pragma once

namespace bq {

// Makes the folders that TEMP, TMPDIR, XDG_RUNTIME_DIR and XDG_CACHE_HOME name absolute, by
// putting the current folder before a relative one (never cleaning "..", which the system reads
// after links). Called once at the start of the program, before anything changes the current
// folder: a relative TEMP would otherwise name another place after each change, and the program
// and the programs it starts would disagree on where their files are. Unset and empty ones stay.
void MakeFolderVariablesAbsolute();

}  // namespace bq
