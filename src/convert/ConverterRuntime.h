#pragma once

#include "convert/RunFolder.h"
#include "convert/WarmConverter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace bq {

// The converter runtime of one conversion run: the archive the program carries, written into
// the run's folder (RunFolder) as calibre.zip and unpacked there into calibre/ (the converter is
// calibre/ebook-convert), and the warm converter that runs from it.
//
// Every failure is raised as a RunTimeError whose description says, in the user's words, what
// failed and what to do.
class ConverterRuntime {
  public:
    ConverterRuntime() = default;
    ~ConverterRuntime();  // ends the warm converter and removes the run folder
    ConverterRuntime(const ConverterRuntime&) = delete;
    ConverterRuntime& operator=(const ConverterRuntime&) = delete;

    // Makes the run folder (RunFolder::Make).
    void Prepare();
    // Writes the archive to ArchivePath() in the run folder (a failed write leaves no partial
    // archive).
    void PlaceArchive(const QByteArray& archive);
    // Unpacks the archive into RuntimeFolder() through an unzip session, off the user-interface
    // thread while the message loop turns, and checks that the converter came out.
    void Unpack();
    // Deletes the archive (the unpacked runtime stays until Remove()).
    void RemoveArchive();
    // The environment every converter of this run gets on top of the program's: its own
    // temporary files go to ScratchFolder(), so whatever a converter ended mid-way leaves goes
    // with the run folder; without a session runtime folder (XDG_RUNTIME_DIR) that is theirs too.
    // The program's own environment is never changed.
    std::vector<EnvironmentChange> ConverterEnvironment() const;
    // Starts the unpacked runtime's warm converter (its messages in the run folder) with the
    // converters' environment and priority, so that each conversion starts in milliseconds. A
    // runtime that cannot start one converts cold; that is no failure.
    void StartWarmConverter(int niceness);
    WarmConverter& Warm() { return m_warm; }
    // Ends the warm converter with every conversion it runs, then removes the run folder with
    // everything in it. Safe to call more than once.
    void Remove();

    QString RunFolder() const { return m_folder.path(); }
    QString ArchivePath() const;
    QString RuntimeFolder() const;
    QString ConverterPath() const;
    QString LogFolder() const { return m_folder.LogFolder(); }
    // Where the converters keep their own temporary files (calibre's CALIBRE_TEMP_DIR).
    QString ScratchFolder() const { return m_folder.ScratchFolder(); }

  private:
    class RunFolder m_folder;
    WarmConverter m_warm;
};

}  // namespace bq
