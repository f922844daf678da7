#pragma once

#include <QString>
#include <QStringList>

namespace bq {

// The private folder of one conversion run, TEMP/calibre-XXXXXX: made with mode 0700, locked
// while the run lives, and marked as a run folder of this program by the file RunMarkerName()
// inside it, written only once the lock is held. It holds the run's converter runtime, its
// per-book logs (logs/) and the converters' own temporary files (tmp/): removing it removes
// everything the run put into TEMP, and two programs converting at once never share one.
//
// A TEMP on a file system mounted noexec cannot hold a converter that runs: the folder then goes
// to the user's runtime folder (XDG_RUNTIME_DIR), or else to the program's folder in the user's
// cache (XDG_CACHE_HOME/brindlequill, ~/.cache/brindlequill by default), whichever allows running
// programs; when neither does, Make fails naming every folder it tried.
//
// Nothing else in TEMP is looked at, used or removed: a TEMP/calibre, a TEMP/calibre.zip or a
// calibre-master folder is the user's own. The only left-overs removed are run folders of this
// program whose run ended without removing them (a killed program): see RemoveEndedRunFolders.
//
// Every failure is raised as a RunTimeError whose description says, in the user's words, what
// failed and what to do.
class RunFolder {
  public:
    RunFolder() = default;
    ~RunFolder();  // removes the folder
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Checks TEMP, removes the ended run folders of earlier runs, and makes, locks and marks the
    // folder with its logs/ and tmp/.
    void Make();
    // Removes the folder with everything in it. Safe to call more than once.
    void Remove();

    // "" before Make and after Remove.
    const QString& path() const { return m_path; }
    // The folder it was made in: TEMP, or where it went instead.
    const QString& base() const { return m_temp; }
    QString LogFolder() const;
    QString ScratchFolder() const;

    // The name every run folder starts with; six random characters follow.
    static QString RunFolderPrefix() { return QStringLiteral("calibre-"); }
    // The file inside every run folder that marks it as one of this program's (it holds the
    // program's pid and start time, for a person who looks).
    static QString RunMarkerName() { return QStringLiteral(".brindlequill-run"); }

    // Removes the run folders under temp whose run has ended, and nothing else: a folder named
    // RunFolderPrefix() and six characters, itself no link, of this user, of mode 0700, holding
    // the marker (a regular file of this user), whose lock no program holds. A run locks its
    // folder before it writes the marker, so a folder that another program has just made is
    // never taken. Gives how many were removed.
    static int RemoveEndedRunFolders(const QString& temp);

  private:
    void LockAndMark();
    // Where run folders go when TEMP is mounted noexec, in the order they are tried.
    static QStringList OtherBaseFolders();
    // The first of OtherBaseFolders() from which the converter can run; raises the error that
    // names each folder tried and why it cannot serve when there is none.
    static QString BaseFolderInsteadOf(const QString& temp);

    QString m_temp;
    QString m_path;
    int m_lockFd = -1;
};

// The advice that ends a message about a TEMP that could not serve.
QString TryAnotherTemp(const QString& temp);

}  // namespace bq
