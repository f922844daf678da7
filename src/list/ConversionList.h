#pragma once

#include <QAbstractListModel>
#include <QStringList>

namespace bq {

// The conversion list: the queue of source paths that "Start Converting" works through. An entry
// is only its path text; entries are appended (never sorted, duplicates allowed), removed one at
// a time or all at once, and exchanged pairwise by the move by dragging. One column; row i holds
// entry i + 1 and its text is `index(i, 0).data()`.
//
// The rows live in one contiguous list of texts: appending many entries is one insertion and one
// notification to the view, whatever the list's size, and an exchange touches two rows only.
class ConversionList final : public QAbstractListModel {
    Q_OBJECT

  public:
    explicit ConversionList(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The column's caption.
    void SetHeader(const QString& caption);

    int Count() const { return static_cast<int>(m_entries.size()); }
    // The text of the entry at a 0-based row.
    const QString& Text(int row) const { return m_entries.at(row); }
    const QStringList& Entries() const { return m_entries; }

    void Append(const QString& path);
    void Append(const QStringList& paths);
    void Remove(int row);
    void Clear();
    // The two entries exchange their texts.
    void Exchange(int rowA, int rowB);

  private:
    QStringList m_entries;
    QString m_header;
};

}  // namespace bq
