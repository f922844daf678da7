#pragma once

#include <QString>
#include <QStringList>

namespace bq {

// What a conversion run did with each entry of the list as it stood at the run's start. Every
// face of a run (the last box, the command line's closing lines, the desktop's notification)
// words it through SummaryText, so they all say the same.
class ConversionSummary {
  public:
    explicit ConversionSummary(int entries = 0) : m_entries(entries) {}

    void Converted() { ++m_converted; }
    void Failed(const QString& source, const QString& reason);
    void SkippedAsItsOwnOutput(const QString& source);
    // Skipped because its output exists and is newer than it.
    void UpToDate() { ++m_upToDate; }
    // Not converted because the run was stopped (told in list order).
    void NotConvertedAsStopped(const QString& source) { m_stopped << source; }
    // This many entries were added to the list during the run, which converts the list as it
    // stood at its start.
    void AddedDuringRun(int count) { m_added = count; }
    // The converter's logs of the books not converted were kept in this folder.
    void LogsKeptIn(const QString& folder) { m_logFolder = folder; }
    // The converter could not be prepared, so nothing was converted; problem says why.
    void ProvisioningFailed(const QString& problem) { m_provisioningProblem = problem; }

    int entries() const { return m_entries; }
    int converted() const { return m_converted; }
    int failed() const { return static_cast<int>(m_failures.size() / 2); }
    int skipped() const { return static_cast<int>(m_skipped.size()); }
    int upToDate() const { return m_upToDate; }
    int stopped() const { return static_cast<int>(m_stopped.size()); }
    int added() const { return m_added; }
    // Books the run has still to say something of: neither converted, up to date, failed,
    // skipped nor stopped.
    int left() const {
        return m_entries - m_converted - m_upToDate - failed() - skipped() - stopped();
    }
    // The books not converted (failed), in list order; and their reasons.
    QStringList failedSources() const;
    QStringList failureReasons() const;
    const QStringList& skippedSources() const { return m_skipped; }
    const QStringList& stoppedSources() const { return m_stopped; }
    // The folder of the logs kept for this run; "" when none was kept.
    const QString& logFolder() const { return m_logFolder; }
    bool provisioningFailed() const { return !m_provisioningProblem.isEmpty(); }
    const QString& provisioningProblem() const { return m_provisioningProblem; }

    // True when every entry was converted (or was up to date) and nothing needs saying.
    bool AllDone() const;

  private:
    int m_entries;
    int m_converted = 0;
    int m_upToDate = 0;
    int m_added = 0;
    QString m_logFolder;
    QString m_provisioningProblem;
    QStringList m_failures;  // path, reason, path, reason, ...
    QStringList m_skipped;   // paths
    QStringList m_stopped;   // paths
};

}  // namespace bq
