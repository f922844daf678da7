#pragma once

#include <QPersistentModelIndex>

namespace bq {

class ConversionList;

// Moving an entry by dragging it with the mouse: while the button is held, the dragged entry
// exchanges its text with the entry under the pointer, step by step, so the dragged path travels
// under the pointer. Two entries with the same text never exchange.
class ListMove {
  public:
    // Screen rows (pixels) above and below which a move scrolls the list by one entry.
    static constexpr int kScrollUpAbove = 305;
    static constexpr int kScrollDownBelow = 364;

    // What one pointer-move step asks of the view (0-based rows, -1 for nothing).
    struct Step {
        int selectRow = -1;
        int showRow = -1;
    };

    explicit ListMove(ConversionList& list) : m_list(list) {}

    // The item click: the entry that moves (an invalid index for none).
    void ItemClick(const QModelIndex& item) { m_movingItem = item; }
    void MouseDown() { m_buttonHeld = true; }
    void MouseUp() { m_buttonHeld = false; }
    // One pointer move over the list, with the entry under the pointer (invalid for none) and
    // the pointer's vertical screen position.
    Step MouseMove(const QModelIndex& hoverItem, int screenY);

    bool ButtonHeld() const { return m_buttonHeld; }
    // The moving entry's row, or -1 when there is none (or it was removed since).
    int MovingRow() const { return m_movingItem.isValid() ? m_movingItem.row() : -1; }

  private:
    ConversionList& m_list;
    QPersistentModelIndex m_movingItem;
    bool m_buttonHeld = false;
};

}  // namespace bq
