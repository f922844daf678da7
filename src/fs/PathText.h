#pragma once

#include <QString>

namespace bq {

// Pure text rules on paths; "/" is the only separator. They never fail.

// The text after the last "/"; the whole text when it holds none.
QString FileNamePart(const QString& path);

// The text up to and including the last "/"; "" when it holds none.
QString FolderPart(const QString& path);

// The name before its last ".", when that dot stands at position 2 or later; otherwise the name
// unchanged (".epub" keeps its dot, "book." becomes "book").
QString StripExtension(const QString& name);

// Every run of "/" becomes one "/", anywhere in the path.
QString CollapseSeparators(const QString& path);

}  // namespace bq
