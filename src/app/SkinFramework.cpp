#include "app/SkinFramework.h"

#include "platform/ReadWholeFile.h"

#include <QWidget>

namespace bq {

void SkinFramework::LoadSkin(const QString& skinFile, const QString& iniFileName) {
    Q_UNUSED(iniFileName);
    m_styleSheet = QString::fromUtf8(ReadWholeFile(skinFile));
    m_loaded = true;
}

void SkinFramework::ApplyWindow(QWidget* window) const {
    if (m_loaded && window != nullptr) {
        window->setStyleSheet(m_styleSheet);
    }
}

}  // namespace bq
