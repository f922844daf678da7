#include "list/ConversionList.h"

namespace bq {

ConversionList::ConversionList(QObject* parent) : QAbstractListModel(parent) {}

int ConversionList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Count();
}

QVariant ConversionList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() != 0 || index.row() >= Count()) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
        case Qt::AccessibleTextRole:
            return m_entries.at(index.row());
        default:
            return {};
    }
}

QVariant ConversionList::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal &&
        (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)) {
        return m_header;
    }
    return {};
}

Qt::ItemFlags ConversionList::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void ConversionList::SetHeader(const QString& caption) {
    m_header = caption;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void ConversionList::Append(const QString& path, const QString& root) {
    beginInsertRows({}, Count(), Count());
    m_entries.append(path);
    m_roots.append(root);
    endInsertRows();
}

void ConversionList::Append(const QStringList& paths, const QString& root) {
    if (paths.isEmpty()) {
        return;
    }
    beginInsertRows({}, Count(), Count() + static_cast<int>(paths.size()) - 1);
    m_entries.append(paths);
    m_roots.reserve(m_entries.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        m_roots.append(root);  // one shared text
    }
    endInsertRows();
}

void ConversionList::Remove(int row) {
    if (row < 0 || row >= Count()) {
        return;
    }
    beginRemoveRows({}, row, row);
    m_entries.removeAt(row);
    m_roots.removeAt(row);
    endRemoveRows();
}

void ConversionList::Clear() {
    if (m_entries.isEmpty()) {
        return;
    }
    beginResetModel();
    m_entries.clear();
    m_roots.clear();
    endResetModel();
}

void ConversionList::Exchange(int rowA, int rowB) {
    if (rowA < 0 || rowB < 0 || rowA >= Count() || rowB >= Count() || rowA == rowB) {
        return;
    }
    m_entries.swapItemsAt(rowA, rowB);
    m_roots.swapItemsAt(rowA, rowB);
    emit dataChanged(index(rowA), index(rowA));
    emit dataChanged(index(rowB), index(rowB));
}

}  // namespace bq
