#pragma once

// A folder's tree as the tests compare it: every path below it (relative, links not followed)
// with its kind ('d' folder, 'f' file, 'l' link, '?' anything else), permission bits and, for
// files, contents and modification time.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>

#include <sys/stat.h>

#include <map>

struct SnapshotNode {
    char kind = '?';
    unsigned mode = 0;
    QByteArray contents;
    qint64 mtime = 0;
    bool operator==(const SnapshotNode&) const = default;
};

inline std::map<QString, SnapshotNode> FolderSnapshot(const QString& top) {
    std::map<QString, SnapshotNode> tree;
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (lstat(QFile::encodeName(path).constData(), &st) != 0) {
            continue;
        }
        SnapshotNode node;
        node.mode = st.st_mode & 07777;
        if (S_ISDIR(st.st_mode)) {
            node.kind = 'd';
        } else if (S_ISREG(st.st_mode)) {
            node.kind = 'f';
            QFile f(path);
            if (f.open(QIODevice::ReadOnly)) {
                node.contents = f.readAll();
            }
            node.mtime = st.st_mtime;
        } else if (S_ISLNK(st.st_mode)) {
            node.kind = 'l';
        }
        tree[QDir(top).relativeFilePath(path)] = node;
    }
    return tree;
}
