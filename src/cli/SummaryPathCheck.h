#pragma once

#include "cli/CommandLineBooks.h"
#include "convert/OutputDestination.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace bq {

// Why the JSON summary must not be written to `place` (a place as ResolvedPlace gives it), as a
// line naming the file given (`given`); "" when it may. It may not be a folder, nor in a folder
// that does not exist or cannot be written, nor one of the files to convert (`listed`, compared
// as files, so also through links), nor where one of `books` is converted to (its output under
// `options`, below the sub-folder its root gives when `roots` is not empty (the folders the books
// were found in, beside them), compared as places, letter case ignored in a folder that ignores
// it): the summary would replace it.
QString SummaryPathProblem(const QByteArray& given, const QByteArray& place, const FileIds& listed,
                           const QStringList& books, const QStringList& roots,
                           const OutputOptions& options);

}  // namespace bq
