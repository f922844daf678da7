#pragma once

#include <QString>

class QAbstractItemModel;

namespace bq {

// True when some entry of the list has exactly this text (letter case counts). The list is the
// model behind the conversion list's view: one row per entry, its text in column 0.
bool ListContainsItem(const QAbstractItemModel& list, const QString& text);

}  // namespace bq
