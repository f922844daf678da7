#pragma once

#include <QByteArray>

namespace bq {

// A path as the system reads it, made absolute: its folder part goes where the system goes
// (every link and ".." resolved by realpath, so that "link/../book.epub" is the book that
// `ls link/../book.epub` finds, not the text with "link/.." taken away), and its last name is kept
// as given (a link to a book stays the link). A last name of "." or "..", or a path ending in
// "/", is resolved whole. A path whose folder cannot be resolved (it does not exist, or cannot be
// searched) is only made absolute from the current folder, never cleaned as text. Bytes in, bytes
// out: names need not be valid UTF-8.
QByteArray ResolvedPath(const QByteArray& path);

// The place a path writes to: as ResolvedPath, and when its last name is a link, the place the
// link names (links after links too, up to 40), whether or not that place exists yet.
QByteArray ResolvedPlace(const QByteArray& path);

}  // namespace bq
