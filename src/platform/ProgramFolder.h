#pragma once

#include <QString>

namespace bq {

// The folder that holds the executable, without a trailing "/" (except for "/" itself). The
// cursor, the skin, the samples and the unzip engine library are found relative to it.
QString ProgramFolder();

// The user's temporary folder: TEMP, else TMPDIR, else /tmp; read anew at each call.
QString TempFolder();

}  // namespace bq
