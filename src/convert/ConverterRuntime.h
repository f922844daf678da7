#pragma once

#include "convert/WarmConverter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace bq {

// The converter runtime of one conversion run, on disk under TEMP.
//
// Every run gets a private folder of its own, TEMP/calibre-XXXXXX (made by the run with mode
// 0700, locked while the run lives, and marked as a run folder of this program by the file
// RunMarkerName() inside it, written only once the lock is held): the archive is written there
// as calibre.zip, unpacked into calibre/ (the converter is calibre/ebook-convert), and the run
// keeps its per-file logs (logs/) and the converters' own temporary files (tmp/) there too. Two
// programs converting at once never share a runtime, and removing the folder removes everything
// the run put into TEMP.
//
// A TEMP on a file system mounted noexec cannot hold a converter that runs: the run folder then
// goes to the user's runtime folder (XDG_RUNTIME_DIR), or else to the program's folder in the
// user's cache (XDG_CACHE_HOME/brindlequill, ~/.cache/brindlequill by default), whichever allows
// running programs, with the same mode, lock, marker and removal; when neither does, Prepare
// fails naming every folder it tried.
//
// Nothing else in TEMP is looked at, used or removed: a TEMP/calibre, a TEMP/calibre.zip or a
// calibre-master folder is the user's own. The only left-overs removed are run folders of this
// program whose run ended without removing them (a killed program): see RemoveEndedRunFolders.
//
// Every failure is raised as a RunTimeError whose description says, in the user's words, what
// failed and what to do.
class ConverterRuntime {
  public:
    ConverterRuntime();
    ~ConverterRuntime();  // removes the run folder
    ConverterRuntime(const ConverterRuntime&) = delete;
    ConverterRuntime& operator=(const ConverterRuntime&) = delete;

    // Checks TEMP, removes the ended run folders of earlier runs, and makes, locks and marks
    // the run folder.
    void Prepare();
    // Writes the archive to ArchivePath() in the new run folder (a failed write leaves no
    // partial archive).
    void PlaceArchive(const QByteArray& archive);
    // Unpacks the archive into RuntimeFolder() through an unzip session, off the user-interface
    // thread while the message loop turns, and checks that the converter came out.
    void Unpack();
    // Deletes the archive (the unpacked runtime stays until Remove()).
    void RemoveArchive();
    // The environment every converter of this run gets on top of the program's: its own
    // temporary files go to ScratchFolder(), so whatever a converter ended mid-way leaves goes
    // with the run folder. The program's own environment is never changed.
    std::vector<EnvironmentChange> ConverterEnvironment() const;
    // Starts the unpacked runtime's warm converter (its messages in the run folder) with the
    // converters' environment and priority, so that each conversion starts in milliseconds. A
    // runtime that cannot start one converts cold; that is no failure.
    void StartWarmConverter(int niceness);
    WarmConverter& Warm() { return m_warm; }
    // Ends the warm converter with every conversion it runs, then removes the run folder with
    // everything in it. Safe to call more than once.
    void Remove();

    QString RunFolder() const { return m_runFolder; }
    QString ArchivePath() const;
    QString RuntimeFolder() const;
    QString ConverterPath() const;
    QString LogFolder() const;
    // Where the converters keep their own temporary files (calibre's CALIBRE_TEMP_DIR).
    QString ScratchFolder() const;

    // The name every run folder starts with; six random characters follow.
    static QString RunFolderPrefix() { return QStringLiteral("calibre-"); }
    // The file inside every run folder that marks it as one of this program's (it holds the
    // program's pid and start time, for a person who looks).
    static QString RunMarkerName() { return QStringLiteral(".brindlequill-run"); }

    // Removes the run folders under temp whose run has ended, and nothing else: a folder
    // named RunFolderPrefix() and six characters, itself no link, of this user, of mode 0700,
    // holding the marker (a regular file of this user), whose lock no program holds. A run
    // locks its folder before it writes the marker, so a folder that another program has just
    // made is never taken. Gives how many were removed.
    static int RemoveEndedRunFolders(const QString& temp);

  private:
    void LockAndMark();
    // Where run folders go when TEMP is mounted noexec, in the order they are tried.
    static QStringList OtherBaseFolders();
    // The first of OtherBaseFolders() from which the converter can run; raises the error that
    // names each folder tried and why it cannot serve when there is none.
    static QString BaseFolderInsteadOf(const QString& temp);

    QString m_temp;  // the folder the run folder is made in: TEMP, or where it goes instead
    QString m_runFolder;
    int m_lockFd = -1;
    WarmConverter m_warm;
};

}  // namespace bq
