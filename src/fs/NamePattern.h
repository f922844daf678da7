#pragma once

#include <QString>

namespace bq {

// A directory listing's name pattern: "*" stands for any run of characters, "?" for exactly one,
// letter case is ignored ("*.epub" matches "A.EPUB"), and "*.*" matches every name, also names
// without a dot.
class NamePattern {
  public:
    explicit NamePattern(const QString& pattern);
    bool Matches(const QString& name) const;

  private:
    QString m_pattern;  // case-folded
    bool m_everything = false;
    bool m_suffixOnly = false;  // "*" followed by a text without wildcards
    QString m_suffix;
};

}  // namespace bq
