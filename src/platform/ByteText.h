#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace bq {

// Bytes as text that gives them back exactly, so that a path (an argument, a name in a folder)
// that is not valid UTF-8 still names its file: valid UTF-8 becomes its characters, and each byte
// that is not part of it becomes a lone surrogate U+DC80 + byte (which valid UTF-8 never decodes
// to). QFile::decodeName would turn such a byte into U+FFFD, and the name would be lost.
QString TextKeepingBytes(const QByteArray& bytes);

// The bytes that TextKeepingBytes turned into the text; any other text as UTF-8.
QByteArray BytesOfText(const QString& text);

// The byte that a character of TextKeepingBytes stands for, when it stands for one that was not
// valid UTF-8 (a lone U+DC80 to U+DCFF); -1 for a character of its own.
int EscapedByte(QStringView text, qsizetype at);

}  // namespace bq
