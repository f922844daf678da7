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
QString OutputPathFor(const QString& source, const OutputOptions& options);

}  // namespace bq
