#pragma once

#include <QString>

class QWidget;

namespace bq {

// The window's skin: a Qt style sheet read from the skin file and applied to a window.
class SkinFramework {
  public:
    // Reads the skin from a file; the second argument names a section of a multi-skin file and
    // is unused by style-sheet skins. Raises the error of reading the file.
    void LoadSkin(const QString& skinFile, const QString& iniFileName);

    // Applies the loaded skin to a window and everything in it.
    void ApplyWindow(QWidget* window) const;

    int ApplyOptions() const { return m_applyOptions; }
    void SetApplyOptions(int options) { m_applyOptions = options; }
    bool AutoApplyNewWindows() const { return m_autoApplyNewWindows; }
    void SetAutoApplyNewWindows(bool on) { m_autoApplyNewWindows = on; }
    bool AutoApplyNewThreads() const { return m_autoApplyNewThreads; }
    void SetAutoApplyNewThreads(bool on) { m_autoApplyNewThreads = on; }

    bool IsLoaded() const { return m_loaded; }
    const QString& StyleSheet() const { return m_styleSheet; }

  private:
    QString m_styleSheet;
    bool m_loaded = false;
    int m_applyOptions = 0;
    bool m_autoApplyNewWindows = false;
    bool m_autoApplyNewThreads = false;
};

}  // namespace bq
