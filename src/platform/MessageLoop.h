#pragma once

namespace bq {

// Lets the user-interface thread handle whatever is pending (repaints, clicks, drops) and
// returns. Long operations call it between steps so the window never freezes.
void YieldToMessageLoop();

}  // namespace bq
