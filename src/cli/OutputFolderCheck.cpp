#include "cli/OutputFolderCheck.h"

#include "platform/RunTimeError.h"
#include "platform/TerminalText.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace bq {

QString OutputFolderProblem(const QByteArray& given, QString& folder) {
    const QString shown = TerminalSafeBytes(given);
    struct stat st {};
    if (::stat(given.constData(), &st) != 0) {
        return QStringLiteral("the output folder %1 does not exist; create it or choose another")
            .arg(shown);
    }
    if (!S_ISDIR(st.st_mode)) {
        return QStringLiteral("the output folder %1 is not a folder; choose a folder").arg(shown);
    }
    if (::access(given.constData(), W_OK | X_OK) != 0) {
        return QStringLiteral("the output folder %1 cannot be written (%2)")
            .arg(shown, SystemErrorText(errno));
    }
    char* real = ::realpath(given.constData(), nullptr);
    if (real == nullptr) {
        return QStringLiteral("the output folder %1 cannot be reached (%2)")
            .arg(shown, SystemErrorText(errno));
    }
    const QByteArray resolved(real);
    std::free(real);
    folder = QString::fromUtf8(resolved);
    if (folder.toUtf8() != resolved) {
        folder.clear();
        return QStringLiteral(
                   "the output folder %1 has a name that is not valid UTF-8, and the "
                   "converter takes names as text; rename it or choose another")
            .arg(shown);
    }
    return {};
}

}  // namespace bq
