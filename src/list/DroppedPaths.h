#pragma once

#include <QStringList>

class QMimeData;

namespace bq {

class ConversionList;
class DialogSeam;

// The local files and folders a drag carries, in the order the source gives them (file managers
// send them as file URLs). Empty when the drag carries none: such a drag is refused.
QStringList DroppedLocalPaths(const QMimeData& data);

// Adds paths to the list as a drop of them does: in order, a folder (links followed) contributes
// every file of its tree (the folder tree scan with "*.*"), each with the folder as its root
// (ConversionList::Root), anything else is appended exactly as
// given. No duplicate test. dialogs: where the folder scan's own error report goes.
void AddDroppedPaths(ConversionList& list, const QStringList& paths, DialogSeam& dialogs);

}  // namespace bq
