#pragma once

#include <QString>

namespace bq {

// The progress bar as the conversion sees it: a shown text and a value (0..100, shown rounded).
// The window gives its ProgressBar1; tests give a recording one.
class ProgressDisplay {
  public:
    virtual ~ProgressDisplay() = default;
    virtual QString Text() const = 0;
    virtual void SetText(const QString& text) = 0;
    virtual double Value() const = 0;
    virtual void SetValue(double value) = 0;
};

}  // namespace bq
