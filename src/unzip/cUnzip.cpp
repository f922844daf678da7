#include "unzip/cUnzip.h"

#include "platform/RunTimeError.h"
#include "unzip/mUnzip.h"

#include <cstdlib>
#include <limits>

namespace bq {

namespace {

// How a Boolean option is stored: 1 or 0, never -1.
std::int32_t Flag(bool bState) {
    return bState ? 1 : 0;
}

const QString kNulText = QString(QChar(u'\0'));

}  // namespace

cUnzip::cUnzip(QObject* parent) : QObject(parent) {}

cUnzip::~cUnzip() = default;

bool cUnzip::ExtractOnlyNewer() const {
    return m_options.ExtractOnlyNewer != 0;
}
void cUnzip::ExtractOnlyNewer(bool bState) {
    m_options.ExtractOnlyNewer = Flag(bState);
}
bool cUnzip::SpaceToUnderScore() const {
    return m_options.SpaceToUnderScore != 0;
}
void cUnzip::SpaceToUnderScore(bool bState) {
    m_options.SpaceToUnderScore = Flag(bState);
}
bool cUnzip::PromptToOverwrite() const {
    return m_options.PromptToOverwrite != 0;
}
void cUnzip::PromptToOverwrite(bool bState) {
    m_options.PromptToOverwrite = Flag(bState);
}
std::int32_t cUnzip::MessageLevel() const {
    return m_options.MessageLevel;
}
void cUnzip::MessageLevel(std::int32_t eLevel) {
    m_options.MessageLevel = eLevel;
}
bool cUnzip::TestZip() const {
    return m_options.TestZip != 0;
}
void cUnzip::TestZip(bool bState) {
    m_options.TestZip = Flag(bState);
}
bool cUnzip::UseFolderNames() const {
    return m_options.UseFolderNames != 0;
}
void cUnzip::UseFolderNames(bool bState) {
    m_options.UseFolderNames = Flag(bState);
}
bool cUnzip::OverwriteExisting() const {
    return m_options.OverwriteExisting != 0;
}
void cUnzip::OverwriteExisting(bool bState) {
    m_options.OverwriteExisting = Flag(bState);
}
bool cUnzip::ConvertCRToCRLF() const {
    return m_options.ConvertCRToCRLF != 0;
}
void cUnzip::ConvertCRToCRLF(bool bState) {
    m_options.ConvertCRToCRLF = Flag(bState);
}
bool cUnzip::CaseSensitiveFileNames() const {
    return m_options.CaseSensitiveFileNames != 0;
}
void cUnzip::CaseSensitiveFileNames(bool bState) {
    m_options.CaseSensitiveFileNames = Flag(bState);
}

std::int32_t cUnzip::FileCount() const {
    return m_fileCount;
}

const ZipEntry& cUnzip::Row(std::int32_t lIndex) const {
    if (lIndex < 1 || lIndex > m_fileCount) {
        RaiseError(ErrSubscriptOutOfRange, QStringLiteral("cUnzip"));
    }
    return m_rows[static_cast<std::size_t>(lIndex - 1)];
}

QString cUnzip::Filename(std::int32_t lIndex) const {
    return Row(lIndex).Name;
}
QString cUnzip::FileDirectory(std::int32_t lIndex) const {
    return Row(lIndex).Folder;
}
std::int32_t cUnzip::FileSize(std::int32_t lIndex) const {
    return Row(lIndex).Size;
}

std::int32_t cUnzip::FilePackedSize(std::int32_t lIndex) const {
    const ZipEntry& row = Row(lIndex);
    const std::int64_t product = std::int64_t{row.Size} * std::int64_t{row.Ratio};
    if (product > std::numeric_limits<std::int32_t>::max() ||
        product < std::numeric_limits<std::int32_t>::min()) {
        RaiseError(ErrOverflow, QStringLiteral("cUnzip"));
    }
    return static_cast<std::int32_t>(product / 100);  // C++ division truncates towards zero
}

std::int32_t cUnzip::FileCompressionRatio(std::int32_t lIndex) const {
    return Row(lIndex).Ratio;
}
QDateTime cUnzip::FileDate(std::int32_t lIndex) const {
    return Row(lIndex).Date;
}
std::int32_t cUnzip::FileCRC(std::int32_t lIndex) const {
    return Row(lIndex).CRC;
}
QString cUnzip::FileCompressionMethod(std::int32_t lIndex) const {
    return Row(lIndex).Method;
}
bool cUnzip::FileEncrypted(std::int32_t lIndex) const {
    return Row(lIndex).Encrypted;
}
bool cUnzip::FileSelected(std::int32_t lIndex) const {
    return Row(lIndex).Selected;
}

void cUnzip::FileSelected(std::int32_t lIndex, bool bState) {
    Row(lIndex);  // raises for a row that does not exist
    m_rows[static_cast<std::size_t>(lIndex - 1)].Selected = bState;
}

void cUnzip::Directory() {
    m_options.ZipFile = m_zipFile;
    m_options.UnzipFolder = kNulText;  // reaches the engine as an empty text
    m_options.ListOnly = 1;
    std::int32_t nameCount = 0;
    std::int32_t excludeCount = 0;
    QStringList names;
    QStringList excludes;
    mUnzip::VBUnzip(*this, m_options, nameCount, names, excludeCount, excludes);
}

bool cUnzip::Unzip() {
    if (m_zipFile.isEmpty()) {
        return false;
    }
    QStringList names;
    if (m_fileCount > 0) {
        for (std::int32_t i = 1; i <= m_fileCount; ++i) {
            const ZipEntry& row = m_rows[static_cast<std::size_t>(i - 1)];
            if (row.Selected) {
                names.append(EntrySpec(row.Folder, row.Name));
            }
        }
        if (names.size() == m_fileCount) {
            names.clear();  // every row: the whole archive
        }
    }
    std::int32_t nameCount = static_cast<std::int32_t>(names.size());
    m_options.ZipFile = m_zipFile;
    m_options.ListOnly = 0;
    m_options.UnzipFolder = m_unzipFolder;
    std::int32_t excludeCount = 0;
    QStringList excludes;
    const std::int32_t result =
        mUnzip::VBUnzip(*this, m_options, nameCount, names, excludeCount, excludes);
    // The engine's 0 is success; every other result is a warning or an error, and a failed
    // extraction must never be reported as done.
    return result == 0;
}

void cUnzip::UnzipFolder(const QString& sFolder) {
    m_unzipFolder = sFolder;
}
QString cUnzip::UnzipFolder() const {
    return m_unzipFolder;
}
QString cUnzip::ZipFile() const {
    return m_zipFile;
}

void cUnzip::ZipFile(const QString& sFIle) {
    m_zipFile = sFIle;
    m_fileCount = 0;
    m_rows.clear();
}

void cUnzip::GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                        QDateTime& dDate, QString& sExtraInfo) {
    Q_UNUSED(dDate);
    mUnzip::EngineVersion(lMajor, lMinor, lRevision, sExtraInfo);
}

void cUnzip::AddEntry(const QString& name, const QString& folder, const QDateTime& date,
                      std::int32_t size, std::int32_t crc, bool encrypted, std::int32_t ratio,
                      const QString& method) {
    if (name.isEmpty() || name == kNulText) {
        return;  // folder entries arrive without a name
    }
    ZipEntry row;
    row.Name = name;
    row.Folder = folder;
    row.Size = size;
    row.Ratio = ratio;
    row.Method = method;
    row.Date = date;
    row.CRC = crc;
    row.Encrypted = encrypted;
    row.Selected = true;
    m_rows.push_back(std::move(row));
    ++m_fileCount;
}

void cUnzip::RaiseOverwritePrompt(const QString& file, std::int32_t& reply) {
    emit OverwritePrompt(file, reply);
}

void cUnzip::RaiseProgress(const QString& text) {
    emit Progress(1, text);
}

void cUnzip::RaiseCancel(const QString& text, bool& cancel) {
    emit Cancel(text, cancel);
}

void cUnzip::RaisePasswordRequest(QString& password, bool& cancel) {
    emit PasswordRequest(password, cancel);
}

QString cUnzip::EntrySpec(const QString& folder, const QString& name) {
    // The table's folders already use the engine's separator "/"; a "\" is an ordinary
    // character of a name here and must reach the engine unchanged.
    if (!folder.isEmpty() && folder != kNulText) {
        return folder + QLatin1Char('/') + name;
    }
    return name;
}

}  // namespace bq
