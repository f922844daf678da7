#pragma once

#include "convert/WarmConverter.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

namespace bq {

// The converter runtime of one conversion run, on disk under TEMP.
//
// Every run gets a private folder of its own, TEMP/calibre-XXXXXX (made by the run, readable by
// the user alone, locked while the run lives): the archive is written there as calibre.zip,
// unpacked into calibre/ (the converter is calibre/ebook-convert), and the run keeps its
// per-file logs (logs/) and the converters' own temporary files (tmp/) there too. Two programs
// converting at once never share a runtime, and removing the folder removes everything the run
// put into TEMP.
//
// Left-overs of earlier runs are dealt with first: a TEMP/calibre.zip of this user is taken
// into the run folder and used only when it is byte-identical to the carried archive; a
// TEMP/calibre of this user is removed; a run folder of this user whose run has ended (its
// lock is free) is removed. Nothing in TEMP is followed through a link, and a TEMP/calibre or
// TEMP/calibre.zip of another user stops the run: the program never runs a converter someone
// else could have put there.
//
// Every failure is raised as a RunTimeError whose description says, in the user's words, what
// failed and what to do.
class ConverterRuntime {
  public:
    ConverterRuntime();
    ~ConverterRuntime();  // removes the run folder
    ConverterRuntime(const ConverterRuntime&) = delete;
    ConverterRuntime& operator=(const ConverterRuntime&) = delete;

    // Checks TEMP, deals with left-overs and makes the run folder.
    void Prepare();
    // Puts the archive at ArchivePath(): a left-over identical one is kept, anything else is
    // written anew (a failed write leaves no partial archive).
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

    bool ArchiveWasReused() const { return m_archiveReused; }
    QString RunFolder() const { return m_runFolder; }
    QString ArchivePath() const;
    QString RuntimeFolder() const;
    QString ConverterPath() const;
    QString LogFolder() const;
    // Where the converters keep their own temporary files (calibre's CALIBRE_TEMP_DIR).
    QString ScratchFolder() const;

    // The fixed names under TEMP that earlier versions used and left-overs may carry.
    static QString LegacyArchivePath(const QString& temp);
    static QString LegacyRuntimeFolder(const QString& temp);
    // The name every run folder starts with.
    static QString RunFolderPrefix() { return QStringLiteral("calibre-"); }

    // Removes this user's run folders under temp whose run has ended: no program holds their
    // lock, and they are older than minimumAge seconds (a folder just made may not be locked
    // yet). Gives how many were removed.
    static int RemoveEndedRunFolders(const QString& temp, int minimumAge = 30);

  private:
    void RefuseForeign(const QString& path, const QString& temp) const;
    void AdoptLegacyArchive();

    QString m_temp;
    QString m_runFolder;
    int m_lockFd = -1;
    bool m_legacyArchiveIsOurs = false;
    bool m_archiveReused = false;
    WarmConverter m_warm;
};

}  // namespace bq
