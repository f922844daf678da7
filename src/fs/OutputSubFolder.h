#pragma once

#include <QString>

namespace bq {

// Makes the folders of `relative` ("Fiction/Old", names separated by "/") below the output
// folder `base`, one at a time, those missing only. Each name must be one that its folder's file
// system can hold (OutputNameProblem: a FAT stick takes no ":" or "?"), and each folder on the
// way must be a real folder: a link is never followed, so nothing goes out of the output folder.
// Gives "" when the folder is there, otherwise why not, as a clause that follows
// "<book> was not converted: ".
QString MakeOutputSubFolder(const QString& base, const QString& relative);

}  // namespace bq
