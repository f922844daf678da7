#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <unordered_map>

namespace bq {

// What a conversion run did with each entry, and the last box's text: "Done." exactly when every
// entry was converted and nothing needs saying; otherwise how many were converted, and each
// file that was not, with its reason, in list order.
class ConversionSummary {
  public:
    explicit ConversionSummary(int entries = 0) : m_entries(entries) {}

    // outputKey: the output's place (its folder's real path and its name), so that two texts of
    // one place count as the same output.
    void Converted(const QString& source, const QString& output, const QString& outputKey);
    void Failed(const QString& source, const QString& reason);
    void SkippedAsItsOwnOutput(const QString& source);
    // Skipped because its output exists and is newer than it.
    void UpToDate(const QString& source) {
        Q_UNUSED(source);
        ++m_upToDate;
    }
    // The run was stopped: this many entries were not converted because of it.
    void NotConvertedAsStopped(int count) { m_stopped = count; }
    // This many entries were added to the list during the run, which converts the list as it
    // stood at its start.
    void AddedDuringRun(int count) { m_added = count; }
    // The converter's logs of the files not converted were kept in this folder.
    void LogsKeptIn(const QString& folder) { m_logFolder = folder; }

    int entries() const { return m_entries; }
    int converted() const { return m_converted; }
    int failed() const { return m_failures.size() / 2; }
    int skipped() const { return m_skipped.size(); }
    int replaced() const { return m_replacements.size() / 2; }
    // The files not converted, in list order.
    QStringList failedSources() const;
    int stopped() const { return m_stopped; }
    int upToDate() const { return m_upToDate; }
    int added() const { return m_added; }
    // The folder of the logs kept for this run; "" when none was kept.
    const QString& logFolder() const { return m_logFolder; }

    // True when every entry was converted and no output replaced another of the same run.
    bool AllDone() const;
    // The first lines of the box: "Done.", or the counts.
    QString Headline() const;
    // One line per file that was not converted (its path, then its reason indented), per entry
    // skipped, per output replaced in this run; "" when all is done.
    QString Details() const;

  private:
    int m_entries;
    int m_converted = 0;
    int m_stopped = 0;
    int m_upToDate = 0;
    int m_added = 0;
    QString m_logFolder;
    QStringList m_failures;      // path, reason, path, reason, ...
    QStringList m_skipped;       // paths
    QStringList m_replacements;  // output, explanation, ...
    // The outputs made so far, each by a digest of its key (16 bytes however long the path: a
    // library of many thousand books holds little), with the source whose book is there now
    // (its text shared with the run's list).
    using OutputDigest = std::array<std::uint64_t, 2>;
    struct DigestHash {
        std::size_t operator()(const OutputDigest& digest) const noexcept {
            return static_cast<std::size_t>(digest[0] ^ (digest[1] * 0x9e3779b97f4a7c15ULL));
        }
    };
    std::unordered_map<OutputDigest, QString, DigestHash> m_madeFrom;
};

}  // namespace bq
