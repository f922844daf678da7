#pragma once

#include <QByteArray>

namespace bq {

// Writes all of bytes to the descriptor fd, again after an interruption or a short write; gives
// 0, or the errno of the failure (EIO when nothing more could be written).
int WriteAll(int fd, const QByteArray& bytes);

}  // namespace bq
