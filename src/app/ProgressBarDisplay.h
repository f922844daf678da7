#pragma once

#include "app/ProgressDisplay.h"

class QProgressBar;

namespace bq {

// ProgressBar1 as the conversion sees it: the shown text is the bar's format (a "%" before p, v
// or m is kept as a "%", not taken for Qt's placeholders), and a real value is kept as given
// and shown rounded.
class ProgressBarDisplay final : public ProgressDisplay {
  public:
    explicit ProgressBarDisplay(QProgressBar* bar) : m_bar(bar) {}

    QString Text() const override;
    void SetText(const QString& text) override;
    double Value() const override;
    void SetValue(double value) override;

    // The format that shows text literally, and the text a format shows.
    static QString FormatFor(const QString& text);
    static QString TextOf(const QString& format);

  private:
    QProgressBar* m_bar;
    double m_value = 0;
};

}  // namespace bq
