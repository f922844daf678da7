#pragma once

#include <QString>
#include <QStringList>

namespace bq {

class ConversionList;
class DialogSeam;

// The sample books in the "Samples" folder beside the program. The set is fixed at the first
// start that finds files there: TakeSampleSnapshot records their full paths in the setting
// "Snapshot" (see SnapshotRecord), and "Load Sample/Example Files" loads from that record.

// The folder beside the program that holds the samples.
QString SamplesFolder();

// The "Snapshot" record of the paths, and the paths a record holds: SnapshotPaths gives back
// exactly what SnapshotRecord was given, whatever the paths hold. While no path holds a "|" (nor
// is empty), the record is the paths joined by "|", as earlier versions wrote and read it.
// Otherwise it starts with a "|", which a joined record never does, and a "|" or "\" inside a
// path has a "\" before it. Earlier versions take such a record for paths that do not exist, and
// skip them.
QString SnapshotRecord(const QStringList& paths);
QStringList SnapshotPaths(const QString& record);

// Records the files now in the Samples folder (sub-folders not included) into "Snapshot", also
// when there are none.
void TakeSampleSnapshot();

// Appends each recorded sample that still exists and is not listed yet, then asks whether to
// open the samples' folder and opens it on Yes.
void LoadSampleFiles(ConversionList& list, DialogSeam& dialogs, const QString& appTitle);

}  // namespace bq
