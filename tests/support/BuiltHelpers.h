#pragma once

// The unzip engine library and the MOBI checker as this build made them, beside the program
// (BQ_PROGRAM_DIR), for tests that run conversions.
#include "convert/MobiCheck.h"
#include "unzip/mUnzip.h"

#include <QString>
#include <QtGlobal>

inline void UseBuiltHelpers() {
    const QString folder = qEnvironmentVariable("BQ_PROGRAM_DIR") + QLatin1Char('/');
    bq::mUnzip::SetEngineLibraryPath(folder + QLatin1String(bq::mUnzip::kEngineLibraryName));
    bq::SetMobiCheckerPath(folder + QStringLiteral("mobi-check"));
}
