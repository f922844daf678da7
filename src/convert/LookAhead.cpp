// Which entries of a conversion run have their converters running, and when the next starts.
#include "convert/LookAhead.h"

#include <QLoggingCategory>

#include <algorithm>
#include <exception>

Q_LOGGING_CATEGORY(lcAhead, "brindlequill.conversion")

namespace bq {

LookAhead::LookAhead(int converters, int lastEntry, Steps steps)
    : m_converters(std::max(1, converters)), m_lastEntry(lastEntry), m_steps(std::move(steps)) {
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
    m_next = std::max(m_next, index + 1);
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

void LookAhead::Fill() {
    if (m_filling) {
        return;
    }
    m_filling = true;
    Reap();
    const int reach = m_current + kAheadPerConverter * (m_converters - 1);
    while (!m_stopped && m_converters > 1 && Running() < m_converters && m_next <= m_lastEntry &&
           m_next <= reach && m_next > m_current && m_steps.mayStart(m_next)) {
        const int index = m_next++;
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

void LookAhead::Stop() {
    m_stopped = true;
    m_timer.stop();
}

}  // namespace bq
