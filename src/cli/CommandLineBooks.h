#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <set>
#include <utility>

namespace bq {

// Files told apart as the file system tells them: by device and inode.
using FileIds = std::set<std::pair<dev_t, ino_t>>;

// The books that the paths of `brindlequill --convert` stand for.
struct CommandLineBooks {
    QStringList books;          // to convert: absolute, in order, each file once
    QStringList roots;          // beside books: the folder each was found in ("": named alone)
    QList<QByteArray> refused;  // books whose names are not valid UTF-8 (absolute, as bytes)
    QStringList notes;          // lines to print before the run: repeats, unreadable folders
    FileIds files;              // every file named or found, refused and repeated ones too
    QString usageError;         // set: nothing is converted (one line, naming the path)
};

// Resolves each path as the system does (see ResolvedPath) and lists each folder's books with
// every name its file system holds (see ListFolderTreeAsIs, `extension` as in --extension). A
// file reached twice (named twice, through two links, or also found in a folder) is converted
// once, where it was first reached, under a name that is not a link if it has one, and a note
// says so. A name that is not valid UTF-8 cannot be handed to the converter,
// which takes names as text, nor given a MOBI of the same name: it is refused, to be named.
// An empty path, a path that does not exist, or a folder without books is a usage error.
CommandLineBooks ResolveCommandLineBooks(const QList<QByteArray>& paths, const QString& extension);

// Why a refused book is not converted, as a clause that follows its name.
QString RefusedNameReason();

}  // namespace bq
