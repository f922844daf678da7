#pragma once

#include <QString>
#include <QStringList>

namespace bq {

// The local paths that files and folders named on the command line stand for (a file manager's
// "Open With" names them so), to be added to the list as a drop of them would add them: in order,
// a relative path made absolute from currentFolder, a file:// URL turned into its local path.
// Empty arguments and URLs of anything but a local file stand for nothing, as a drag that
// carries no local file drops nothing. Paths are not looked up: whether each exists, and whether
// it is a folder, is for the drop to find out.
QStringList CommandLinePaths(const QStringList& arguments, const QString& currentFolder);

}  // namespace bq
