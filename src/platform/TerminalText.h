#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace bq {

// A name or message as it may be shown on a terminal or in a log: every control character (C0,
// DEL, C1) becomes a visible escape ("\e", "\a", "\b", "\t", "\n", "\v", "\f", "\r", otherwise
// "\x1f", "\x7f", "\x9b"), so that no name can move the cursor, ring the bell, change colours or
// start a line of its own. Everything else is kept as it is.
QString TerminalSafe(QStringView text);

// The same for a name held as the file system's bytes: valid UTF-8 is shown as its characters,
// each byte that is not part of valid UTF-8 as "\xFF".
QString TerminalSafeBytes(const QByteArray& bytes);

}  // namespace bq
