#include "list/ListContainsItem.h"

#include <QAbstractItemModel>

namespace bq {

bool ListContainsItem(const QAbstractItemModel& list, const QString& text) {
    const int count = list.rowCount();
    for (int i = 0; i < count; ++i) {
        if (list.index(i, 0).data().toString() == text) {
            return true;
        }
    }
    return false;
}

}  // namespace bq
