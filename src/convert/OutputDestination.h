#pragma once

#include <QString>

namespace bq {

// Where the results go, as the "Save Option" frame shows it at this moment.
struct OutputOptions {
    bool option1 = true;   // "Save results to this folder:" (the folder in text1)
    bool option2 = false;  // "Save results in folder of original file"
    QString text1;         // the target folder as typed or browsed
};

// A run may start when the target folder exists, or when the results go next to their sources
// (the folder is then not needed, whatever it holds).
bool DestinationIsUsable(const OutputOptions& options);

// The output path of a source: the source's file name with its last extension replaced by
// ".mobi", in the target folder (option1) or in the source's own folder (option2), with runs of
// "/" collapsed. With neither option selected (a state only a hand-edited settings file gives)
// the target folder is used, as the window's design default.
// subFolder: a folder below the target folder (KeptSubFolder) that the result goes to instead.
QString OutputPathFor(const QString& source, const OutputOptions& options,
                      const QString& subFolder = {});

// True when every result goes to the one target folder (option1), not next to its source.
bool ResultsGoToOneFolder(const OutputOptions& options);

// The sub-folder ("Fiction/Old") that the source's folder is under root, the folder it was added
// from, when its result goes to the one target folder; "" when it is root itself, when root is
// "" (added by itself), when the source is not below root, or when each result goes next to its
// source. Worked out from the texts alone: a root that has gone since gives the same answer.
QString KeptSubFolder(const QString& source, const QString& root, const OutputOptions& options);

}  // namespace bq
