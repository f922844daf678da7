#pragma once

#include <QString>

class QTreeWidget;

namespace bq {

// True when some entry of the list has exactly this text (letter case counts).
bool ListContainsItem(const QTreeWidget& list, const QString& text);

}  // namespace bq
