#include "convert/SummaryText.h"

#include "convert/ConversionSummary.h"
#include "fs/PathText.h"

#include <QStringList>

namespace bq {

namespace {

const QString kNewLine = QStringLiteral("\r\n");
const QString kIndent = QStringLiteral("    ");

// "1 book was", "2 books were".
QString BooksWere(int count) {
    return count == 1 ? QStringLiteral("1 book was") : QStringLiteral("%1 books were").arg(count);
}

// The paths, one a line, the first `most` of them, then how many more there are.
QStringList Named(const QStringList& paths, int most) {
    QStringList lines = paths.mid(0, most);
    if (paths.size() > most) {
        lines << QStringLiteral("and %1 more").arg(paths.size() - most);
    }
    return lines;
}

}  // namespace

QString BookCount(int count) {
    return count == 1 ? QStringLiteral("1 book") : QStringLiteral("%1 books").arg(count);
}

QString SummaryCounts(const ConversionSummary& summary) {
    if (summary.provisioningFailed()) {
        return QStringLiteral("The converter could not be prepared, so nothing was converted.");
    }
    QString text = QStringLiteral("Converted %1 of %2.")
                       .arg(summary.converted())
                       .arg(BookCount(summary.entries()));
    if (summary.upToDate() > 0) {
        text += QStringLiteral(" %1 up to date already.").arg(BooksWere(summary.upToDate()));
    }
    const int notConverted = summary.entries() - summary.converted() - summary.upToDate();
    if (notConverted > 0) {
        text += QStringLiteral(" %1 not converted.").arg(BooksWere(notConverted));
    }
    return text;
}

QString SummaryHeadline(const ConversionSummary& summary) {
    if (summary.AllDone()) {
        return QStringLiteral("Done.");
    }
    QString text = SummaryCounts(summary);
    if (!summary.provisioningFailed() && !SummaryDetails(summary).isEmpty()) {
        text += QStringLiteral(" See below.");
    }
    return text;
}

QStringList SummaryDetailLines(const ConversionSummary& summary) {
    if (summary.provisioningFailed()) {
        return summary.provisioningProblem().split(kNewLine);
    }
    QList<QStringList> parts;
    const QStringList failed = summary.failedSources();
    const QStringList reasons = summary.failureReasons();
    if (!failed.isEmpty()) {
        QStringList part{QStringLiteral(
            "Not converted (an earlier result of the same name, if any, was kept):")};
        for (qsizetype i = 0; i < failed.size(); ++i) {
            part << failed[i] << kIndent + reasons[i];
        }
        parts << part;
    }
    if (summary.skipped() > 0) {
        parts << QStringList{QStringLiteral(
                     "Skipped, because the result would replace the book itself (the "
                     "book was left as it is; choose another output folder to "
                     "convert it):")} +
                     Named(summary.skippedSources(), kMostNamed);
    }
    if (summary.stopped() > 0) {
        parts << QStringList{QStringLiteral("Not converted because the run was stopped (%1; start "
                                            "again to convert them):")
                                 .arg(BookCount(summary.stopped()))} +
                     Named(summary.stoppedSources(), kMostNamed);
    }
    if (summary.added() > 0) {
        parts << QStringList{QStringLiteral("Added to the list during the run, and not "
                                            "converted by it: %1. They are at the end of the "
                                            "list.")
                                 .arg(BookCount(summary.added()))};
    }
    if (!failed.isEmpty()) {
        parts << QStringList{
            QStringLiteral("Check or replace the books named, then convert them again.")};
    }
    if (!summary.logFolder().isEmpty()) {
        parts << QStringList{QStringLiteral("The converter's own messages about the books not "
                                            "converted are kept in:"),
                             summary.logFolder()};
    }
    QStringList lines;
    for (const QStringList& part : parts) {
        if (!lines.isEmpty()) {
            lines << QString();
        }
        lines << part;
    }
    return lines;
}

QString SummaryDetails(const ConversionSummary& summary) {
    return SummaryDetailLines(summary).join(kNewLine);
}

QString SummaryNoticeTitle(const ConversionSummary& summary) {
    QString title = SummaryCounts(summary);
    // The title is one line: its first sentence, without its full stop.
    const qsizetype end = title.indexOf(QStringLiteral(". "));
    if (end >= 0) {
        title.truncate(end + 1);
    }
    if (title.endsWith(QLatin1Char('.'))) {
        title.chop(1);
    }
    return title;
}

QString SummaryNoticeBody(const ConversionSummary& summary) {
    QStringList lines;
    if (summary.provisioningFailed()) {
        lines << summary.provisioningProblem();
    }
    const QStringList failed = summary.failedSources();
    if (!failed.isEmpty()) {
        QStringList names;
        for (qsizetype i = 0; i < failed.size() && i < kMostNamedInNotice; ++i) {
            names << FileNamePart(failed[i]);
        }
        QString line = QStringLiteral("Not converted: ") + names.join(QStringLiteral(", "));
        if (failed.size() > kMostNamedInNotice) {
            line += QStringLiteral(" and %1 more").arg(failed.size() - kMostNamedInNotice);
        }
        lines << line;
    }
    if (summary.skipped() > 0) {
        lines << QStringLiteral("Skipped, because the result would replace the book itself: %1")
                     .arg(BookCount(summary.skipped()));
    }
    if (summary.stopped() > 0) {
        lines << QStringLiteral("Not converted because the run was stopped: %1")
                     .arg(BookCount(summary.stopped()));
    }
    if (summary.added() > 0) {
        lines << QStringLiteral("Added to the list during the run, and not converted by it: %1")
                     .arg(BookCount(summary.added()));
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace bq
