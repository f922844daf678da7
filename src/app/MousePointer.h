#pragma once

#include <QCursor>
#include <QString>

#include <optional>

namespace bq {

// The window's pointer. The hourglass also marks a long operation under way: while it shows,
// list edits are refused and the pointer rules of the mouse-move handlers leave it alone.
enum class MousePointer : int {
    Default = 0,
    Hourglass = 11,
    Custom = 99,
};

// Loads a Windows cursor (.cur) file, keeping its hot spot. Raises "Invalid picture" (481) when
// the file is not a picture, or the error of reading it.
QCursor LoadCursorFile(const QString& path);

}  // namespace bq
