#include "cli/SummaryPathCheck.h"

#include "fs/OutputName.h"
#include "platform/RunTimeError.h"
#include "platform/TerminalText.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace bq {

QString SummaryPathProblem(const QByteArray& given, const QByteArray& place, const FileIds& listed,
                           const QStringList& books, const QStringList& roots,
                           const OutputOptions& options) {
    const QString shown = TerminalSafeBytes(given);
    struct stat st {};
    if (::stat(place.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return QStringLiteral(
                       "the summary file %1 is a folder; give --summary-json a file "
                       "name")
                .arg(shown);
        }
        if (listed.count({st.st_dev, st.st_ino}) > 0) {
            return QStringLiteral(
                       "the summary file %1 is one of the books to convert, and the "
                       "summary would replace it; choose another file")
                .arg(shown);
        }
    }
    const QByteArray folder = place.left(place.lastIndexOf('/') + 1);
    struct stat folderSt {};
    if (::stat(folder.constData(), &folderSt) != 0 || !S_ISDIR(folderSt.st_mode)) {
        return QStringLiteral(
                   "the folder of the summary file %1 does not exist; create it or "
                   "choose another file")
            .arg(shown);
    }
    if (::access(folder.constData(), W_OK | X_OK) != 0) {
        return QStringLiteral(
                   "the folder of the summary file %1 cannot be written (%2); choose "
                   "another file")
            .arg(shown, SystemErrorText(errno));
    }
    const QString text = QString::fromUtf8(place);
    if (text.toUtf8() != place) {
        return {};  // every output's name is valid UTF-8, and this one's is not
    }
    const bool ignoresCase = FolderIgnoresCase(QString::fromUtf8(folder));
    const QString key = OutputIdentityKey(text, ignoresCase);
    for (qsizetype i = 0; i < books.size(); ++i) {
        const QString& book = books[i];
        const QString output =
            OutputPathFor(book, options, KeptSubFolder(book, roots.value(i), options));
        if (OutputIdentityKey(output, ignoresCase) == key) {
            return QStringLiteral(
                       "the summary file %1 is where %2 is converted to, and the "
                       "summary would replace it; choose another file")
                .arg(shown, TerminalSafe(book));
        }
    }
    return {};
}

}  // namespace bq
