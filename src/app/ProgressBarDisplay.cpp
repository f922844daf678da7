#include "app/ProgressBarDisplay.h"

#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace bq {

namespace {

// An invisible character between "%" and a letter Qt would replace.
constexpr char16_t kWordJoiner = u'\u2060';

}  // namespace

QString ProgressBarDisplay::FormatFor(const QString& text) {
    QString format;
    format.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        format.append(text[i]);
        if (text[i] == QLatin1Char('%') && i + 1 < text.size() &&
            (text[i + 1] == QLatin1Char('p') || text[i + 1] == QLatin1Char('v') ||
             text[i + 1] == QLatin1Char('m'))) {
            format.append(QChar(kWordJoiner));
        }
    }
    return format;
}

QString ProgressBarDisplay::TextOf(const QString& format) {
    QString text = format;
    text.replace(QStringLiteral("%") + QChar(kWordJoiner), QStringLiteral("%"));
    return text;
}

QString ProgressBarDisplay::Text() const {
    return TextOf(m_bar->format());
}

void ProgressBarDisplay::SetText(const QString& text) {
    m_bar->setFormat(FormatFor(text));
}

double ProgressBarDisplay::Value() const {
    // A value set on the bar by other means wins over the one kept here.
    return std::lrint(m_value) == m_bar->value() ? m_value : m_bar->value();
}

void ProgressBarDisplay::SetValue(double value) {
    m_value = value;
    const long shown = std::isfinite(value) ? std::lrint(value) : 0;
    m_bar->setValue(static_cast<int>(std::clamp(shown, 0L, 100L)));
}

}  // namespace bq
