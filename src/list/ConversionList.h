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
//
// Beside the texts, and kept in step with them by every change, the list holds each entry's
// root: the folder it was added from (a folder scan or a dropped folder; one shared text for all
// of that folder's entries), or "" for an entry added by itself. The root is no part of the
// entry's text: the view shows the path only.
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
    // The folder the entry at a 0-based row was added from ("" when added by itself).
    const QString& Root(int row) const { return m_roots.at(row); }
    // Every entry's root, entry by entry.
    const QStringList& Roots() const { return m_roots; }

    // root: the folder the paths were found in ("" for paths added by themselves).
    void Append(const QString& path, const QString& root = {});
    void Append(const QStringList& paths, const QString& root = {});
    void Remove(int row);
    void Clear();
    // The two entries exchange their texts (and roots).
    void Exchange(int rowA, int rowB);

  private:
    QStringList m_entries;
    QStringList m_roots;  // beside m_entries, of the same size
    QString m_header;
};

}  // namespace bq
