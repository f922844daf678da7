#pragma once

namespace bq {

// Makes every log message (qDebug, qInfo, qWarning... of any category) show its control
// characters as visible escapes (see TerminalSafe) before it goes wherever Qt sends it (standard
// error or the journal): a book's name in a message cannot move the cursor, change colours or
// start a line of its own. Called once at the start of the program.
void ShowLogMessagesSafely();

}  // namespace bq
