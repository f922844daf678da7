#include "fs/FolderTreeAsIs.h"

#include "fs/NamePattern.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <set>
#include <utility>

namespace bq {

namespace {

// The names of one folder (without "." and ".."), in listing order; false when it cannot be
// listed.
bool ListNames(const QByteArray& folder, QList<QByteArray>& names) {
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr) {
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            break;
        }
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            names << name;
        }
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    return complete;
}

}  // namespace

FolderTreeAsIs ListFolderTreeAsIs(const QByteArray& top, const QString& pattern) {
    const NamePattern matcher(pattern);
    FolderTreeAsIs result;
    std::set<std::pair<dev_t, ino_t>> seen;
    struct stat st {};
    if (::stat(top.constData(), &st) == 0) {
        seen.insert({st.st_dev, st.st_ino});
    }
    QList<QByteArray> level{top};
    while (!level.isEmpty()) {
        QList<QByteArray> next;
        for (const QByteArray& folder : std::as_const(level)) {
            QList<QByteArray> names;
            if (!ListNames(folder, names)) {
                result.unreadable << folder;
                continue;
            }
            for (const QByteArray& name : std::as_const(names)) {
                const QByteArray path = folder.endsWith('/') ? folder + name : folder + '/' + name;
                if (::stat(path.constData(), &st) != 0) {
                    continue;  // gone, or a link to nothing
                }
                if (S_ISDIR(st.st_mode)) {
                    if (!name.startsWith('.') && seen.insert({st.st_dev, st.st_ino}).second) {
                        next << path;
                    }
                    continue;
                }
                if (!S_ISREG(st.st_mode) || name.startsWith('.') || name.startsWith('~')) {
                    continue;
                }
                // Matched as text: bytes that are not valid UTF-8 read as U+FFFD.
                if (matcher.Matches(QString::fromUtf8(name))) {
                    result.files << path;
                }
            }
        }
        // The top folder's files first; each level's folders in turn after it.
        level = std::move(next);
    }
    return result;
}

}  // namespace bq
