#pragma once

#include <QString>

namespace bq {

class ConversionList;
class DialogSeam;

// The sample books in the "Samples" folder beside the program. The set is fixed at the first
// start that finds files there: TakeSampleSnapshot records their full paths in the setting
// "Snapshot" (joined by "|"), and "Load Sample/Example Files" loads from that record.

// The folder beside the program that holds the samples.
QString SamplesFolder();

// Records the files now in the Samples folder (sub-folders not included) into "Snapshot", also
// when there are none.
void TakeSampleSnapshot();

// Appends each recorded sample that still exists and is not listed yet, then asks whether to
// open the samples' folder and opens it on Yes.
void LoadSampleFiles(ConversionList& list, DialogSeam& dialogs, const QString& appTitle);

}  // namespace bq
