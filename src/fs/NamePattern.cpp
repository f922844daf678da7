#include "fs/NamePattern.h"

namespace bq {

NamePattern::NamePattern(const QString& pattern) : m_pattern(pattern.toCaseFolded()) {
    m_everything = m_pattern == QStringLiteral("*") || m_pattern == QStringLiteral("*.*");
    if (m_pattern.startsWith(QLatin1Char('*'))) {
        const QString rest = m_pattern.mid(1);
        if (!rest.contains(QLatin1Char('*')) && !rest.contains(QLatin1Char('?'))) {
            m_suffixOnly = true;
            m_suffix = rest;
        }
    }
}

bool NamePattern::Matches(const QString& name) const {
    if (m_everything) {
        return true;
    }
    if (m_suffixOnly) {
        return name.size() >= m_suffix.size() &&
               QStringView(name).right(m_suffix.size()).compare(m_suffix, Qt::CaseInsensitive) == 0;
    }
    // Wildcard match with one back-tracking point: the last "*" seen.
    const QString text = name.toCaseFolded();
    qsizetype p = 0;
    qsizetype t = 0;
    qsizetype starP = -1;
    qsizetype starT = 0;
    while (t < text.size()) {
        if (p < m_pattern.size() && (m_pattern[p] == QLatin1Char('?') || m_pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < m_pattern.size() && m_pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starT = t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < m_pattern.size() && m_pattern[p] == QLatin1Char('*')) {
        ++p;
    }
    return p == m_pattern.size();
}

}  // namespace bq
