#pragma once

#include "unzip/UnzipOptions.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

namespace bq {

namespace mUnzip {
struct SessionAccess;
}

// One row of a session's directory table.
struct ZipEntry {
    QString Name;    // the part after the last separator
    QString Folder;  // the folder part, "/" separated, no trailing "/"; "" at the archive root
    std::int32_t Size = 0;
    std::int32_t Ratio = 0;  // packed size as a per cent of Size
    QString Method;
    QDateTime Date;
    std::int32_t CRC = 0;
    bool Encrypted = false;
    bool Selected = false;
};

// An unzip session: one archive, one target folder and the engine's option flags. It lists the
// archive into a directory table and extracts all or a selection of its entries; every listing
// or extraction is one call of the engine bridge (mUnzip::VBUnzip), whose callbacks come back
// here as events and table rows, on the calling thread, while the call runs.
//
// Properties are read with X() and set with X(value). Boolean options are kept in the options
// record as 1 or 0. The indexed members take a row number from 1 to FileCount() and raise
// "Subscript out of range" (9) for any other.
//
// The events carry answers back by reference: connect them directly (the default for a
// receiver on the same thread); a queued connection would never be heard.
class cUnzip : public QObject {
    Q_OBJECT

  public:
    explicit cUnzip(QObject* parent = nullptr);
    ~cUnzip() override;

    bool ExtractOnlyNewer() const;
    void ExtractOnlyNewer(bool bState);
    bool SpaceToUnderScore() const;
    void SpaceToUnderScore(bool bState);
    bool PromptToOverwrite() const;
    void PromptToOverwrite(bool bState);
    std::int32_t MessageLevel() const;
    void MessageLevel(std::int32_t eLevel);
    bool TestZip() const;
    void TestZip(bool bState);
    bool UseFolderNames() const;
    void UseFolderNames(bool bState);
    bool OverwriteExisting() const;
    void OverwriteExisting(bool bState);
    bool ConvertCRToCRLF() const;
    void ConvertCRToCRLF(bool bState);
    bool CaseSensitiveFileNames() const;
    void CaseSensitiveFileNames(bool bState);

    std::int32_t FileCount() const;
    QString Filename(std::int32_t lIndex) const;
    QString FileDirectory(std::int32_t lIndex) const;
    std::int32_t FileSize(std::int32_t lIndex) const;
    // Size x Ratio / 100, truncated towards zero; "Overflow" (6) when the product does not fit
    // in 32 bits.
    std::int32_t FilePackedSize(std::int32_t lIndex) const;
    std::int32_t FileCompressionRatio(std::int32_t lIndex) const;
    QDateTime FileDate(std::int32_t lIndex) const;
    std::int32_t FileCRC(std::int32_t lIndex) const;
    QString FileCompressionMethod(std::int32_t lIndex) const;
    bool FileEncrypted(std::int32_t lIndex) const;
    bool FileSelected(std::int32_t lIndex) const;
    void FileSelected(std::int32_t lIndex, bool bState);

    // Lists the archive into the directory table (appending to the rows already there).
    void Directory();

    // Extracts the selected rows (or the whole archive when no listing was made, every row or
    // no row is selected) into UnzipFolder. True exactly when the engine reports success (0);
    // False for an empty ZipFile (the engine is not called) and for any warning or error of
    // the engine. Errors of the bridge (a missing engine, too many names) are raised.
    bool Unzip();

    void UnzipFolder(const QString& sFolder);
    QString UnzipFolder() const;
    QString ZipFile() const;
    // A new archive: the directory table is emptied, even when the path is unchanged.
    void ZipFile(const QString& sFIle);

    // The engine's version: major, minor and revision (0 to 255 each) and its extra text of 10
    // characters. dDate is not written.
    void GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                    QDateTime& dDate, QString& sExtraInfo);

    // The options record as the engine will receive it (the texts are filled just before each
    // call).
    const UnzipOptions& Options() const { return m_options; }

  signals:
    // The engine is about to write an entry; set bCancel to stop it.
    void Cancel(const QString& sMsg, bool& bCancel);
    // sFIle exists; eResponse (preset 100) goes back to the engine as its reply code.
    void OverwritePrompt(const QString& sFIle, std::int32_t& eResponse);
    // An encrypted entry needs a password: a non-empty one (after trimming) is handed on, an
    // empty one or bCancel refuses (and every later request of the same call is refused).
    void PasswordRequest(QString& sPassword, bool& bCancel);
    // One message of the engine; lCount is always 1.
    void Progress(std::int32_t lCount, const QString& sMsg);

  private:
    friend struct mUnzip::SessionAccess;

    // Friend operations: called only by the bridge's callbacks.
    void AddEntry(const QString& name, const QString& folder, const QDateTime& date,
                  std::int32_t size, std::int32_t crc, bool encrypted, std::int32_t ratio,
                  const QString& method);
    void RaiseOverwritePrompt(const QString& file, std::int32_t& reply);
    void RaiseProgress(const QString& text);
    void RaiseCancel(const QString& text, bool& cancel);
    void RaisePasswordRequest(QString& password, bool& cancel);

    static QString EntrySpec(const QString& folder, const QString& name);
    const ZipEntry& Row(std::int32_t lIndex) const;

    QString m_zipFile;
    QString m_unzipFolder;
    std::vector<ZipEntry> m_rows;
    std::int32_t m_fileCount = 0;
    UnzipOptions m_options;
};

}  // namespace bq
