#pragma once

#include <QByteArray>
#include <QString>

namespace bq {

// Checks --output-folder before anything is converted: the folder given (`given`, its bytes) is
// resolved as the system resolves it (links and ".." included) into `folder`. Gives "" when it is
// a folder that can be written and whose name the converter can take (valid UTF-8), otherwise one
// line saying what is wrong with it and what to do, naming it as given.
QString OutputFolderProblem(const QByteArray& given, QString& folder);

}  // namespace bq
