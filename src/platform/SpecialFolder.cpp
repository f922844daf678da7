#include "platform/SpecialFolder.h"

#include "platform/RunTimeError.h"

#include <QStandardPaths>

namespace bq {

QString SpecialFolderPath() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty()) {
        RaiseError(ErrInvalidCall, QStringLiteral("SpecialFolderPath"));
    }
    return desktop.endsWith(QLatin1Char('/')) ? desktop : desktop + QLatin1Char('/');
}

}  // namespace bq
