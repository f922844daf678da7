// Which entries of a conversion run have their converters running, and which starts next.
#include "convert/LookAhead.h"

#include <algorithm>

namespace bq {

LookAhead::LookAhead(int converters, int lastEntry)
    : m_converters(std::max(1, converters)),
      m_lastEntry(lastEntry),
      m_started(static_cast<std::size_t>(std::max(0, lastEntry)) + 1, 0),
      m_estimates(static_cast<std::size_t>(std::max(0, lastEntry)) + 1, -1.0) {
    m_running.reserve(static_cast<std::size_t>(m_converters) + 1);
}

void LookAhead::Started(int index, bool running) {
    if (index >= 1 && index <= m_lastEntry) {
        m_started[static_cast<std::size_t>(index)] = 1;
    }
    if (running) {
        m_running.push_back(index);
        m_peakRunning = std::max(m_peakRunning, Running());
    }
}

void LookAhead::Ended(int index) {
    m_running.erase(std::remove(m_running.begin(), m_running.end(), index), m_running.end());
}

void LookAhead::Forget(int index) {
    if (index >= 1 && index <= m_lastEntry) {
        m_started[static_cast<std::size_t>(index)] = 0;
    }
    Ended(index);
}

bool LookAhead::LoopsOwnRuns() const {
    return std::find(m_running.begin(), m_running.end(), m_current) != m_running.end();
}

int LookAhead::Choose(const std::function<bool(int)>& mayStart,
                      const std::function<double(int)>& expected) {
    if (m_stopped || m_converters <= 1 || Running() >= m_converters) {
        return 0;
    }
    const int reach = std::min(
        m_lastEntry, m_current + std::min(kMostAhead, kAheadPerConverter * (m_converters - 1)));
    // The loop's own converter has ended (or its entry had none) and the loop has not come to
    // the next entry yet: the free place is that entry's, so the loop finds it started instead
    // of waiting out its poll with a core idle, and never starts one more than allowed.
    const int next = m_current + 1;
    if (!LoopsOwnRuns() && next <= reach && m_started[static_cast<std::size_t>(next)] == 0) {
        if (mayStart(next)) {
            return next;
        }
        if (Running() >= m_converters - 1) {
            return 0;  // held for now: its place stays free for the loop
        }
    }
    int best = 0;
    double longest = -1.0;
    for (int index = std::max(1, m_current + 1); index <= reach; ++index) {
        if (m_started[static_cast<std::size_t>(index)] != 0) {
            continue;
        }
        if (!mayStart(index)) {
            if (!expected) {
                break;  // in list order, a held entry holds back the ones after it
            }
            continue;
        }
        if (!expected) {
            return index;
        }
        double& estimate = m_estimates[static_cast<std::size_t>(index)];
        if (estimate < 0.0) {
            if (m_turn.isValid() && m_turn.elapsed() >= kEstimateBudgetMs) {
                continue;  // asked in a later turn
            }
            estimate = std::max(0.0, expected(index));
        }
        if (estimate > longest) {
            longest = estimate;
            best = index;
        }
    }
    return best;
}

}  // namespace bq
