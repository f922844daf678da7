#include "cli/CommandLineBooks.h"

#include "fs/FolderTreeAsIs.h"
#include "fs/ResolvedPath.h"
#include "list/FolderRoute.h"
#include "platform/TerminalText.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <vector>

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
    QList<QByteArray> foundRoots;  // beside found: the folder each was found in ("" named alone)
    for (const QByteArray& given : paths) {
        if (given.isEmpty()) {
            // An unset variable in a script, most likely: never the current folder.
            result.usageError = QStringLiteral(
                "an empty argument names no book or folder; leave "
                "it out");
            return result;
        }
        const QString shown = TerminalSafeBytes(given);
        const QByteArray path = ResolvedPath(given);
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            result.usageError = QStringLiteral("%1: no such file or folder").arg(shown);
            return result;
        }
        if (!S_ISDIR(st.st_mode)) {
            found << path;
            foundRoots << QByteArray();
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
        while (foundRoots.size() < found.size()) {
            foundRoots << folder;
        }
    }
    // One entry per file, where it was first reached, under the name that is not a link if one
    // is (its MOBI goes beside the file itself), otherwise the first name.
    struct Entry {
        QByteArray path;
        bool link = false;
        QByteArray root;
        QList<QByteArray> others;  // the other names it was reached by
    };
    std::vector<Entry> entries;
    std::map<std::pair<dev_t, ino_t>, std::size_t> entryOf;
    for (qsizetype i = 0; i < found.size(); ++i) {
        const QByteArray& path = found[i];
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            continue;  // gone since: there is nothing to hand on
        }
        struct stat own {};
        const bool link = ::lstat(path.constData(), &own) == 0 && S_ISLNK(own.st_mode);
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        result.files.insert(id);
        const auto known = entryOf.find(id);
        if (known == entryOf.end()) {
            entryOf.emplace(id, entries.size());
            entries.push_back(Entry{path, link, foundRoots[i], {}});
            continue;
        }
        Entry& entry = entries[known->second];
        if (entry.link && !link) {
            entry.others << entry.path;
            entry.path = path;
            entry.root = foundRoots[i];
            entry.link = false;
        } else {
            entry.others << path;
        }
    }
    for (const Entry& entry : entries) {
        for (const QByteArray& other : entry.others) {
            result.notes << (other == entry.path
                                 ? QStringLiteral("brindlequill: %1 is named more than once; it is "
                                                  "converted once")
                                       .arg(TerminalSafeBytes(other))
                                 : QStringLiteral("brindlequill: %1 is the same file as %2; it is "
                                                  "converted once, as %2")
                                       .arg(TerminalSafeBytes(other),
                                            TerminalSafeBytes(entry.path)));
        }
        if (IsUtf8(entry.path)) {
            result.books << QString::fromUtf8(entry.path);
            result.roots << QString::fromUtf8(entry.root);
        } else {
            result.refused << entry.path;
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
