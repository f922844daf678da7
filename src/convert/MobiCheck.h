#pragma once

#include "convert/MobiCheckStatus.h"

#include <QString>

namespace bq {

// Reads a MOBI file back whole with libmobi, a reader that is not the converter, in a child of
// its own with a time and memory limit (the window turns its message loop meanwhile): its records
// load and its text and resources parse. Gives "" when they do, otherwise what is wrong, in the
// user's words.
QString MobiProblem(const QString& path);

// Where the checker program is: beside the program unless set (tests set it).
QString MobiCheckerPath();
void SetMobiCheckerPath(const QString& path);

}  // namespace bq
