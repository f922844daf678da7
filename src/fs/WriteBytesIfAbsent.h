#pragma once

#include <QByteArray>
#include <QString>

namespace bq {

// Lets the message loop run once; when nothing is at path, writes the bytes there as a new file,
// exactly, with nothing before or after them. An existing file is never opened or changed, and a
// write that fails (a full disk) leaves no partial file behind under the name: it raises the
// error instead. Nothing is written through a link: a link (or anything but a file) at path
// raises an error naming the path.
void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path);

}  // namespace bq
