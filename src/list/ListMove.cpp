#include "list/ListMove.h"

#include "list/ConversionList.h"

namespace bq {

ListMove::Step ListMove::MouseMove(const QModelIndex& hoverItem, int screenY) {
    Step step;
    if (!m_buttonHeld) {
        return step;
    }
    // A moving entry removed (or the list cleared) since its click is gone: no exchange.
    if (!m_movingItem.isValid() || !hoverItem.isValid() || hoverItem.model() != &m_list) {
        return step;
    }
    const int moving = m_movingItem.row();
    const int hover = hoverItem.row();
    if (m_list.Text(moving) == m_list.Text(hover)) {
        return step;
    }
    m_list.Exchange(moving, hover);
    step.selectRow = hover;
    m_movingItem = m_list.index(hover);
    if (screenY < kScrollUpAbove && hover > 0) {
        step.showRow = hover - 1;
    } else if (screenY > kScrollDownBelow && hover + 1 < m_list.Count()) {
        step.showRow = hover + 1;
    }
    return step;
}

}  // namespace bq
