#pragma once

#include "unzip/UnzipOptions.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace bq {

class cUnzip;

// The bridge to the unzip engine: the only code that talks to the engine library. It loads the
// library (beside the executable) at the first engine call, turns a session's options and name
// lists into the engine's records, makes the call, and passes the engine's callbacks on to the
// session as events and directory rows. Only one engine call runs at a time in the process.
namespace mUnzip {

// The engine library's file name, in the program folder.
inline constexpr const char* kEngineLibraryName = "libbqunzip.so";

// A name table has 1024 slots: at most 1023 names, then an empty text.
inline constexpr int kNameTableSlots = 1024;

// Lists, tests or extracts the session's archive (options field 7 decides). Names 1..nameCount
// of names (names[0] is name 1) go to the engine's include table, likewise the excludes.
// Returns the engine's result unchanged (0 is success). Any run-time error (no engine library
// or entry point: "File not found" (53); more than 1023 names: "Subscript out of range" (9))
// is raised with its number and description and the source "<executable>.VBUnzip". A call made
// while another engine call runs (from one of its event handlers) is refused the same way with
// "Invalid procedure call or argument" (5) and leaves the running call alone; a call from
// another thread waits for the running one to end.
std::int32_t VBUnzip(cUnzip& session, UnzipOptions& options, std::int32_t& nameCount,
                     QStringList& names, std::int32_t& excludeCount, QStringList& excludeNames);

// The engine's version (the session's GetVersion): bytes 0..2 of the fourth version block, and
// the engine's first text as 10 characters, blanks from its first zero character on.
void EngineVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                   QString& sExtraInfo);

// Turns the engine's "/" separators into the native separator (itself "/" here), leaving a
// "/" at position 1 alone. Returns the 1-based position just after the last one replaced, or
// 1 when none was.
int SlashesToBackslashes(QString& text);

// Cuts path before its first NUL, then splits it at its last separator (not counting one at
// position 1): folder gets the text before it, path the name after it. With no such separator
// both stay as they are.
void SplitEntryPath(QString& path, QString& folder);

// The session whose engine call is running (or ran last); null once that session is gone or a
// call failed.
cUnzip* CurrentSession();

// Set when a password request of the current call was refused.
bool PasswordCancelled();

// The full path of the engine library: ProgramFolder() + "/" + kEngineLibraryName, unless
// SetEngineLibraryPath chose another.
QString EngineLibraryPath();

// Points the bridge at another engine library (tests that do not run from the program folder,
// or a stand-in engine); "" returns to the program folder's library. The library loaded so far
// is let go, so this must never be called while an engine call runs.
void SetEngineLibraryPath(const QString& path);

// What the system said when the engine library or an entry point could not be loaded ("" when
// loading worked), for messages that tell the user what to do.
QString EngineLoadProblem();

}  // namespace mUnzip
}  // namespace bq
