#pragma once

#include <QString>

namespace bq {

// Reads a MOBI file back whole with libmobi, a reader that is not the converter: its records
// load and its text and resources parse. Gives "" when it does, otherwise what is wrong, in the
// user's words.
QString MobiProblem(const QString& path);

}  // namespace bq
