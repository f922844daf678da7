#include "fs/FolderFileSystem.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <sys/vfs.h>

namespace bq {

namespace {

// mountinfo writes a space, tab, newline and backslash in a path as "\040", "\011", "\012" and
// "\134".
QByteArray Unescape(const QByteArray& field) {
    QByteArray text;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3') {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                text += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

// The path is the mount point itself or lies below it.
bool IsUnder(const QByteArray& path, const QByteArray& mountPoint) {
    if (mountPoint == "/") {
        return true;
    }
    return path == mountPoint || (path.startsWith(mountPoint) && path.at(mountPoint.size()) == '/');
}

// The kernel's numbers for the file systems whose names matter to an output folder.
QString TypeFromStatfs(const QByteArray& path) {
    struct statfs st {};
    if (::statfs(path.constData(), &st) != 0) {
        return {};
    }
    switch (static_cast<unsigned long>(st.f_type)) {
        case 0x4d44UL:
            return QStringLiteral("vfat");
        case 0x2011BAB0UL:
            return QStringLiteral("exfat");
        case 0x5346544eUL:
            return QStringLiteral("ntfs");
        default:
            return {};
    }
}

}  // namespace

FolderFileSystem FolderFileSystemOf(const QString& folder) {
    const QString canonical =
        QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).canonicalFilePath();
    if (canonical.isEmpty()) {
        return {};
    }
    const QByteArray path = QFile::encodeName(canonical);
    FolderFileSystem found;
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (mounts.open(QIODevice::ReadOnly)) {
        qsizetype longest = -1;
        // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue": the
        // mount point is the fifth field; the type, source and options follow the lone "-".
        for (const QByteArray& line : mounts.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            const qsizetype dash = fields.indexOf(QByteArray("-"), 6);
            if (dash < 0 || dash + 3 >= fields.size()) {
                continue;
            }
            const QByteArray mountPoint = Unescape(fields[4]);
            if (mountPoint.size() >= longest && IsUnder(path, mountPoint)) {
                longest = mountPoint.size();
                found.type = QString::fromUtf8(fields[dash + 1]);
                found.mountPoint = QFile::decodeName(mountPoint);
                found.options = QString::fromUtf8(fields[dash + 3]);
            }
        }
    }
    if (found.type.isEmpty()) {
        found.type = TypeFromStatfs(path);
    }
    return found;
}

}  // namespace bq
