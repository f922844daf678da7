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

int LookAhead::RunningAhead() const {
    return static_cast<int>(std::count_if(m_running.begin(), m_running.end(),
                                          [this](int index) { return index > m_current; }));
}

int LookAhead::NextToStart(int reach) {
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
    const int reach = std::min(m_lastEntry, m_current + kAheadPerConverter * (m_converters - 1));
    while (!m_stopped && m_converters > 1 && RunningAhead() < m_converters - 1) {
        const int index = NextToStart(reach);
        if (index == 0) {
            break;
        }
        m_started[static_cast<std::size_t>(index)] = 1;
        if (m_steps.start(index)) {
            m_running.push_back(index);
            m_peakRunning = std::max(m_peakRunning, Running());
            // Starting a converter waits until it runs, which takes long on a busy machine: one
            // start per turn of the message loop, so the window answers in between.
            break;
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
