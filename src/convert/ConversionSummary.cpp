#include "convert/ConversionSummary.h"

namespace bq {

void ConversionSummary::Failed(const QString& source, const QString& reason) {
    m_failures << source << reason;
}

void ConversionSummary::SkippedAsItsOwnOutput(const QString& source) {
    m_skipped << source;
}

QStringList ConversionSummary::failedSources() const {
    QStringList sources;
    for (qsizetype i = 0; i < m_failures.size(); i += 2) {
        sources << m_failures[i];
    }
    return sources;
}

QStringList ConversionSummary::failureReasons() const {
    QStringList reasons;
    for (qsizetype i = 1; i < m_failures.size(); i += 2) {
        reasons << m_failures[i];
    }
    return reasons;
}

bool ConversionSummary::AllDone() const {
    return !provisioningFailed() && m_converted + m_upToDate == m_entries && m_failures.isEmpty() &&
           m_skipped.isEmpty() && m_stopped.isEmpty() && m_added == 0;
}

}  // namespace bq
