#include "list/ListContainsItem.h"

#include <QTreeWidget>

namespace bq {

bool ListContainsItem(const QTreeWidget& list, const QString& text) {
    bool found = false;
    const int count = list.topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        if (list.topLevelItem(i)->text(0) == text) {
            found = true;
        }
    }
    return found;
}

}  // namespace bq
