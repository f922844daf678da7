#include "fs/FolderScan.h"

#include "fs/FileTests.h"
#include "fs/NamePattern.h"
#include "fs/PathText.h"
#include "platform/ErrorTrap.h"
#include "platform/MessageLoop.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bq {

namespace {

constexpr const char* kScanStamp = "Ornaby2021/08/31";

// An open directory listing, closed when it goes.
class DirListing {
  public:
    explicit DirListing(const QByteArray& path) : m_dir(::opendir(path.constData())) {
        m_error = m_dir == nullptr ? errno : 0;
    }
    ~DirListing() {
        if (m_dir != nullptr) {
            ::closedir(m_dir);
        }
    }
    DirListing(const DirListing&) = delete;
    DirListing& operator=(const DirListing&) = delete;

    bool IsOpen() const { return m_dir != nullptr; }
    int Error() const { return m_error; }
    int Fd() const { return ::dirfd(m_dir); }
    // The next entry other than "." and "..", or null at the end (Error() then tells whether the
    // listing failed).
    const dirent* Next() {
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(m_dir);
            if (entry == nullptr) {
                m_error = errno;
                return nullptr;
            }
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
                continue;
            }
            return entry;
        }
    }

  private:
    DIR* m_dir;
    int m_error = 0;
};

// A name as text, or a null text when its bytes are not valid in the file system's encoding
// (such a name is what the scan calls unusual: it would show as "?").
QString DecodedName(const char* bytes) {
    const QByteArray raw = QByteArray::fromRawData(bytes, static_cast<qsizetype>(::strlen(bytes)));
    QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) != raw) {
        return {};
    }
    return name;
}

// True for a regular file (links followed) in the open folder `dirFd` that opens for reading.
bool FileExistsCheckedAt(int dirFd, const char* name) {
    struct stat st {};
    if (::fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    // O_NONBLOCK: should the name have turned into a FIFO since, the open still returns at once.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

// The folders one scan has accepted, by device and inode: a folder reached a second time (through
// a link, or a link loop) is not taken again.
using FolderIds = std::set<std::pair<dev_t, ino_t>>;

bool IsGoneOrDenied(int errnoValue) {
    return errnoValue == EACCES || errnoValue == EPERM || errnoValue == ENOENT ||
           errnoValue == ENOTDIR;
}

// Lists the sub-folders of each entry of `dirs` into `found`. A folder whose listing fails for
// want of permission, or because it is gone, is removed from `dirs`.
void ListLevel(QStringList& dirs, QStringList& found, FolderIds& seen, YieldTimer& yield) {
    qsizetype i = 0;
    while (i < dirs.size() && !QuitRequested()) {
        const QString dir = dirs.at(i);
        const QByteArray path = QFile::encodeName(dir);
        if (path.size() >= PATH_MAX) {
            ++i;
            continue;
        }
        // No separate test that the folder exists: opening it for listing tells, and a folder
        // that is gone (or no folder) is dropped like an unreadable one.
        yield.Tick();
        DirListing listing(path);
        if (listing.IsOpen()) {
            while (const dirent* entry = listing.Next()) {
                yield.Tick();
                if (QuitRequested()) {
                    return;  // the program is ending: what was found is all there is
                }
                if (entry->d_name[0] == '.') {
                    continue;  // dot-folders hold configuration, caches and trash
                }
                if (entry->d_type != DT_DIR && entry->d_type != DT_LNK &&
                    entry->d_type != DT_UNKNOWN) {
                    continue;
                }
                struct stat st {};
                if (::fstatat(listing.Fd(), entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
                    continue;
                }
                const QString name = DecodedName(entry->d_name);
                if (name.isEmpty() || HasUnusualCharacters(name)) {
                    continue;
                }
                if (!seen.insert({st.st_dev, st.st_ino}).second) {
                    continue;  // entered already in this scan
                }
                found.append(dir + name + QLatin1Char('/'));
            }
        }
        if (IsGoneOrDenied(listing.Error())) {
            dirs.removeAt(dirs.indexOf(dir));  // the first entry equal to it: at or before i
            continue;
        }
        ++i;
    }
}

}  // namespace

bool HasUnusualCharacters(const QString& name) {
    for (const char32_t code : QStringView(name).toUcs4()) {
        if (code < 32 || (code >= 127 && code <= 159) || code == 63) {
            return true;
        }
    }
    return false;
}

bool FileExistsChecked(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    return FileExistsCheckedAt(AT_FDCWD, QFile::encodeName(path).constData());
}

NameArray ListFilesInFolder(const QString& folder, const QString& pattern) {
    const QString dir = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    const NamePattern matcher(pattern);
    YieldTimer yield;  // a folder may hold a hundred thousand files
    NameArray names;
    DirListing listing(QFile::encodeName(dir));
    if (!listing.IsOpen()) {
        return names;
    }
    while (const dirent* entry = listing.Next()) {
        yield.Tick();
        if (QuitRequested()) {
            break;
        }
        if (entry->d_type == DT_DIR) {
            continue;
        }
        const QString name = DecodedName(entry->d_name);
        if (name.isEmpty() || !matcher.Matches(name)) {
            continue;
        }
        if (FileExistsCheckedAt(listing.Fd(), entry->d_name)) {
            names.Append(name);
        }
    }
    return names;
}

void GetSubDirectories2016(QStringList& folders, bool recurse, DialogSeam& dialogs) {
    ErrorTrap trap(dialogs, QStringLiteral("AddFolder.GetSubDirectories2016"),
                   QString::fromLatin1(kScanStamp));
    YieldTimer yield;
    FolderIds seen;
    QStringList below;  // every level under `folders`, in order
    trap.Line(100, [&] {
        for (const QString& dir : folders) {
            struct stat st {};
            if (::stat(QFile::encodeName(dir).constData(), &st) == 0) {
                seen.insert({st.st_dev, st.st_ino});
            }
        }
    });
    trap.Line(102, [&] {
        QStringList level;
        ListLevel(folders, level, seen, yield);
        while (!level.isEmpty() && !QuitRequested()) {
            QStringList next;
            if (recurse) {
                ListLevel(level, next, seen, yield);
            }
            below += level;
            level = std::move(next);
        }
    });
    // Every folder below was found as a folder, and was opened for listing since (one that has
    // gone was dropped then): all of them follow the folders given.
    trap.Line(104, [&] { folders += below; });
}

QStringList ListFilesInFolderTree(const QString& top, const QString& pattern, DialogSeam& dialogs) {
    QStringList folders{top + QLatin1Char('/')};
    GetSubDirectories2016(folders, true, dialogs);
    YieldTimer yield;
    QStringList files;
    for (const QString& entry : std::as_const(folders)) {
        if (QuitRequested()) {
            break;
        }
        const QString dir = entry.chopped(1);
        const NameArray names = ListFilesInFolder(dir, pattern);
        for (int i = 1; i <= names.UBound(); ++i) {
            const QString name = names.At(i);
            if (name.startsWith(QLatin1Char('~')) || name.startsWith(QLatin1Char('.'))) {
                continue;  // temporary files, editor locks and other hidden files
            }
            // ListFilesInFolder gave only names that opened as files a moment ago.
            files.append(CollapseSeparators(dir + QLatin1Char('/') + name));
        }
        yield.Tick();
    }
    return files;
}

}  // namespace bq
