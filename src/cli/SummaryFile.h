#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

namespace bq {

// Writes the JSON summary of a run, {"entries": [...]}, to `place` (a place as ResolvedPlace
// gives it, so a link there keeps pointing to it): `entries` as the report gives them, then one
// failed entry for each refused book (its name shown as TerminalSafeBytes shows it, since JSON
// holds only text). The file is written beside its place and renamed over it, so a reader never
// sees half of it. Gives "" when written, or why not, naming the file.
QString WriteSummaryFile(const QByteArray& place, QJsonArray entries,
                         const QList<QByteArray>& refused);

}  // namespace bq
