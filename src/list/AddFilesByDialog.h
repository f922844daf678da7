#pragma once

#include <QString>
#include <QStringList>

#include "platform/DialogSeam.h"

namespace bq {

// "Add EPUB File(s)": what the multi-select open dialog is asked to show, and how its result
// becomes list entries.

// Title, filter and the 30000-character result buffer of the dialog.
OpenFileRequest AddFilesRequest();

// The message shown when the selection does not fit in the dialog's buffer.
QString TooManyFilesMessage();

// The entries a dialog result gives: "" gives none; one path gives itself exactly as returned;
// a folder and names separated by NULs give the folder joined with each name, in order, with
// runs of "/" collapsed.
QStringList DialogResultPaths(const QString& result);

}  // namespace bq
