#pragma once

#include <QDateTime>
#include <QString>

#include <vector>

namespace bq {

// The converter's log of a book that a run could not convert.
struct FailedLog {
    int index = 0;  // the entry's number in the run, from 1
    QString source;
    QString reason;  // as the last box gives it
    QString log;     // the converter's log in the run folder
};

// How many runs' folders of logs are kept.
constexpr int kKeptLogRuns = 20;

// Where the converter's logs of the books not converted are kept once their run folder is gone,
// for the person to read or attach to a report: $XDG_STATE_HOME/brindlequill/logs
// (~/.local/state/brindlequill/logs by default), one folder per run that had such a book, named
// for the time the run ended ("2024-05-01_18-30-05", "_2" and on after it when two runs end in
// one second), so that the names sort as the runs ended.
QString LogsFolder();

// Copies each log that exists into a new run folder of LogsFolder() (private to this user), as
// "<entry number> <book's file name>.log" headed by the book's path and the reason it was not
// converted; then removes the run folders past the newest kKeptLogRuns (see RemoveOldLogRuns).
// Gives the new run folder, or "" when no log was there to keep or the folder could not be
// made (one line in the program's log says why). Blocking file work: call it off the window's
// thread.
QString KeepFailedLogs(const std::vector<FailedLog>& logs, const QDateTime& ended);

// Removes the run folders of logs in folder past the newest keep, other than except, and nothing
// that is not provably the program's: a folder named as LogsFolder() names its run folders, of
// this user, no link, holding no folder (only the files in it are removed). Gives how many went.
int RemoveOldLogRuns(const QString& folder, int keep, const QString& except = {});

}  // namespace bq
