#pragma once

#include <QByteArray>
#include <QString>

namespace bq {

// The whole content of a file; raises the run-time error of the failure (53 for a missing file,
// 70 for one the user may not read, ...).
QByteArray ReadWholeFile(const QString& path);

}  // namespace bq
