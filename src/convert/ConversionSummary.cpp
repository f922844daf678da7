#include "convert/ConversionSummary.h"

#include <QCryptographicHash>

#include <cstring>

namespace bq {

namespace {

const QString kNewLine = QStringLiteral("\r\n");
const QString kIndent = QStringLiteral("    ");

QString Files(int count) {
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

}  // namespace

void ConversionSummary::Converted(const QString& source, const QString& output,
                                  const QString& outputKey) {
    ++m_converted;
    // The first 128 bits of the key's SHA-256: two different places never meet by chance.
    const QByteArray hash = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(outputKey.utf16()), outputKey.size() * 2),
        QCryptographicHash::Sha256);
    OutputDigest digest{};
    std::memcpy(digest.data(), hash.constData(), sizeof digest);
    const auto [earlier, first] = m_madeFrom.try_emplace(digest, source);
    if (!first) {
        m_replacements << output
                       << QStringLiteral(
                              "the book from %1 replaced the one from %2, made "
                              "earlier in this run (both give this name)")
                              .arg(source, earlier->second);
        earlier->second = source;
    }
}

void ConversionSummary::Failed(const QString& source, const QString& reason) {
    m_failures << source << reason;
}

void ConversionSummary::SkippedAsItsOwnOutput(const QString& source) {
    m_skipped << source;
}

QStringList ConversionSummary::failedSources() const {
    QStringList sources;
    for (qsizetype i = 0; i < m_failures.size(); i += 2) {
        sources << m_failures[i];
    }
    return sources;
}

bool ConversionSummary::AllDone() const {
    return m_converted + m_upToDate == m_entries && m_failures.isEmpty() && m_skipped.isEmpty() &&
           m_replacements.isEmpty() && m_stopped == 0 && m_added == 0;
}

QString ConversionSummary::Headline() const {
    if (AllDone()) {
        return QStringLiteral("Done.");
    }
    QString text = QStringLiteral("Converted %1 of %2.").arg(m_converted).arg(Files(m_entries));
    if (m_upToDate > 0) {
        text += QStringLiteral(" %1 up to date already.")
                    .arg(m_upToDate == 1 ? QStringLiteral("1 file was")
                                         : QStringLiteral("%1 files were").arg(m_upToDate));
    }
    const int notConverted = m_entries - m_converted - m_upToDate;
    if (notConverted == 0 && m_replacements.size() > 0) {
        text += QStringLiteral(" Some results replaced others of this run; see below.");
    } else if (notConverted == 0) {
        text += m_stopped + m_added > 0 ? QStringLiteral(" See below.") : QString();
    } else {
        text += QStringLiteral(" %1 not converted; see below.")
                    .arg(notConverted == 1 ? QStringLiteral("1 file was")
                                           : QStringLiteral("%1 files were").arg(notConverted));
    }
    return text;
}

QString ConversionSummary::Details() const {
    QStringList parts;
    if (!m_failures.isEmpty()) {
        QString part = QStringLiteral(
            "Not converted (an earlier result of the same name, if any, "
            "was kept):");
        for (qsizetype i = 0; i + 1 < m_failures.size(); i += 2) {
            part += kNewLine + m_failures[i] + kNewLine + kIndent + m_failures[i + 1];
        }
        parts << part;
    }
    if (!m_skipped.isEmpty()) {
        QString part = QStringLiteral(
            "Skipped, because the result would replace the file itself (the file "
            "was left as it is; choose another output folder to convert it):");
        for (const QString& source : m_skipped) {
            part += kNewLine + source;
        }
        parts << part;
    }
    if (!m_replacements.isEmpty()) {
        QString part = QStringLiteral("Replaced within this run:");
        for (qsizetype i = 0; i + 1 < m_replacements.size(); i += 2) {
            part += kNewLine + m_replacements[i] + kNewLine + kIndent + m_replacements[i + 1];
        }
        parts << part;
    }
    if (m_stopped > 0) {
        parts << QStringLiteral("Not converted because the run was stopped: %1.")
                     .arg(Files(m_stopped));
    }
    if (m_added > 0) {
        parts << QStringLiteral(
                     "Added to the list during the run, and not converted by it: %1. Start "
                     "again to convert them.")
                     .arg(Files(m_added));
    }
    if (!m_failures.isEmpty()) {
        parts << QStringLiteral("Check or replace the files named, then convert them again.");
    }
    if (!m_logFolder.isEmpty()) {
        parts << QStringLiteral(
                     "The converter's own messages about the files not converted are "
                     "kept in:") +
                     kNewLine + m_logFolder;
    }
    return parts.join(kNewLine + kNewLine);
}

}  // namespace bq
