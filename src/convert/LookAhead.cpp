// Which entries of a conversion run have their converters running, and when the next starts.
#include "convert/LookAhead.h"

#include <QLoggingCategory>

#include <algorithm>
#include <exception>

Q_LOGGING_CATEGORY(lcAhead, "brindlequill.conversion")

namespace bq {

LookAhead::LookAhead(int converters, int lastEntry, Steps steps)
    : m_converters(std::max(1, converters)),
      m_lastEntry(lastEntry),
      m_steps(std::move(steps)),
      m_started(static_cast<std::size_t>(std::max(0, lastEntry)) + 1, 0),
      m_estimates(static_cast<std::size_t>(std::max(0, lastEntry)) + 1, -1.0) {
    m_running.reserve(static_cast<std::size_t>(m_converters) + 1);
    if (m_converters > 1) {
        m_timer.setInterval(kFillIntervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            // A timer's slot: nothing may leave it.
            try {
                Fill();
            } catch (...) {
                qCWarning(lcAhead) << "The next conversions could not be started ahead";
                Stop();
            }
        });
        m_timer.start();
    }
}

LookAhead::~LookAhead() {
    m_timer.stop();
}

void LookAhead::Reached(int index) {
    m_current = index;
}

void LookAhead::StartedByLoop(int index, bool running) {
    if (index >= 1 && index <= m_lastEntry) {
        m_started[static_cast<std::size_t>(index)] = 1;
    }
    if (running) {
        m_running.push_back(index);
        m_peakRunning = std::max(m_peakRunning, Running());
    }
}

void LookAhead::Reap() {
    m_running.erase(std::remove_if(m_running.begin(), m_running.end(),
                                   [this](int index) { return m_steps.ended(index); }),
                    m_running.end());
}

bool LookAhead::LoopsOwnRuns() const {
    return std::find(m_running.begin(), m_running.end(), m_current) != m_running.end();
}

int LookAhead::NextToStart(int reach) {
    // The loop's own converter has ended (or its entry had none) and the loop has not come to
    // the next entry yet: the free place is that entry's, so the loop finds it started instead
    // of waiting out its poll with a core idle, and never starts one more than allowed.
    const int next = m_current + 1;
    if (!LoopsOwnRuns() && next <= reach && m_started[static_cast<std::size_t>(next)] == 0) {
        if (m_steps.mayStart(next)) {
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
        if (!m_steps.mayStart(index)) {
            if (!m_steps.estimate) {
                break;  // in list order, a held entry holds back the ones after it
            }
            continue;
        }
        if (!m_steps.estimate) {
            return index;
        }
        double& estimate = m_estimates[static_cast<std::size_t>(index)];
        if (estimate < 0.0) {
            if (m_turn.isValid() && m_turn.elapsed() >= kEstimateBudgetMs) {
                continue;  // asked in a later turn
            }
            estimate = std::max(0.0, m_steps.estimate(index));
        }
        if (estimate > longest) {
            longest = estimate;
            best = index;
        }
    }
    return best;
}

void LookAhead::Fill() {
    if (m_filling) {
        return;
    }
    m_filling = true;
    Reap();
    const int reach = std::min(
        m_lastEntry, m_current + std::min(kMostAhead, kAheadPerConverter * (m_converters - 1)));
    m_turn.start();
    const QElapsedTimer& spent = m_turn;
    while (!m_stopped && m_converters > 1 && Running() < m_converters) {
        const int index = NextToStart(reach);
        if (index == 0) {
            break;
        }
        m_started[static_cast<std::size_t>(index)] = 1;
        if (m_steps.start(index)) {
            m_running.push_back(index);
            m_peakRunning = std::max(m_peakRunning, Running());
            // Starting a converter waits until it runs, which takes long on a busy machine:
            // the rest waits for the next turn of the message loop once a start took a while,
            // so the window answers in between.
            if (spent.elapsed() >= kFillBudgetMs) {
                break;
            }
        }
    }
    m_filling = false;
}

void LookAhead::Forget(int index) {
    if (index >= 1 && index <= m_lastEntry) {
        m_started[static_cast<std::size_t>(index)] = 0;
    }
    m_running.erase(std::remove(m_running.begin(), m_running.end(), index), m_running.end());
}

void LookAhead::Stop() {
    m_stopped = true;
    m_timer.stop();
}

}  // namespace bq
