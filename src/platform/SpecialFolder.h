#pragma once

#include <QString>

namespace bq {

// The user's desktop folder followed by "/". Raises "Invalid procedure call or argument" (5)
// when the desktop has no location.
QString SpecialFolderPath();

}  // namespace bq
