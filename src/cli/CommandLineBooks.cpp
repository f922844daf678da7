#include "cli/CommandLineBooks.h"

#include "fs/FolderTreeAsIs.h"
#include "fs/ResolvedPath.h"
#include "list/FolderRoute.h"
#include "platform/TerminalText.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <map>

namespace bq {

namespace {

bool IsUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

QByteArray WholeRealPath(const QByteArray& path) {
    char* real = ::realpath(path.constData(), nullptr);
    if (real == nullptr) {
        return path;
    }
    QByteArray result(real);
    std::free(real);
    return result;
}

}  // namespace

CommandLineBooks ResolveCommandLineBooks(const QList<QByteArray>& paths, const QString& extension) {
    CommandLineBooks result;
    QList<QByteArray> found;
    for (const QByteArray& given : paths) {
        const QString shown = TerminalSafeBytes(given);
        const QByteArray path = ResolvedPath(given);
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            result.usageError = QStringLiteral("%1: no such file or folder").arg(shown);
            return result;
        }
        if (!S_ISDIR(st.st_mode)) {
            found << path;
            continue;
        }
        const QByteArray folder = WholeRealPath(path);
        const FolderTreeAsIs tree = ListFolderTreeAsIs(folder, PatternForExtension(extension));
        if (tree.files.isEmpty() && tree.unreadable.contains(folder)) {
            result.usageError = QStringLiteral("%1: the folder cannot be read").arg(shown);
            return result;
        }
        for (const QByteArray& closed : tree.unreadable) {
            result.notes << QStringLiteral(
                                "brindlequill: %1: the folder cannot be read, so its "
                                "books (if any) are left out")
                                .arg(TerminalSafeBytes(closed));
        }
        if (tree.files.isEmpty()) {
            result.usageError =
                QStringLiteral("%1: no .%2 files in this folder or below").arg(shown, extension);
            return result;
        }
        found += tree.files;
    }
    std::map<std::pair<dev_t, ino_t>, QByteArray> firstOf;  // the path that named it first
    for (const QByteArray& path : std::as_const(found)) {
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            continue;  // gone since: the run would say so, but it is not there to hand on
        }
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        result.files.insert(id);
        const auto first = firstOf.find(id);
        if (first != firstOf.end()) {
            result.notes << (first->second == path
                                 ? QStringLiteral("brindlequill: %1 is named more than once; it is "
                                                  "converted once")
                                       .arg(TerminalSafeBytes(path))
                                 : QStringLiteral("brindlequill: %1 is the same file as %2; it is "
                                                  "converted once")
                                       .arg(TerminalSafeBytes(path),
                                            TerminalSafeBytes(first->second)));
            continue;
        }
        firstOf.emplace(id, path);
        if (IsUtf8(path)) {
            result.books << QString::fromUtf8(path);
        } else {
            result.refused << path;
        }
    }
    return result;
}

QString RefusedNameReason() {
    return QStringLiteral(
        "its name is not valid UTF-8, and the converter takes names as text (its "
        "MOBI could not be given the same name); rename it, then convert it");
}

}  // namespace bq
