#pragma once

#include <QString>
#include <QStringList>

namespace bq {

class ConversionSummary;

// The words of a run's end, made here once for every face of the run: the window's last box,
// the command line's closing lines and the desktop's notification say the same things in the
// same words ("book", "books"). Lines are separated by CR LF.

// The sentence of counts: "Converted 2 of 3 books. 1 book was not converted." (or "The
// converter could not be prepared, so nothing was converted.").
QString SummaryCounts(const ConversionSummary& summary);
// The first lines of the last box: "Done." when all is done, else SummaryCounts().
QString SummaryHeadline(const ConversionSummary& summary);
// What the counts do not say: each book not converted with its reason, the books skipped, the
// books the stop left (kMostNamed by name, then how many more), the books added during the run,
// what to do, where the converter's logs are; "" when all is done.
QString SummaryDetails(const ConversionSummary& summary);
// The same, line by line (an empty line between parts): a name that holds a line break stays in
// its one line.
QStringList SummaryDetailLines(const ConversionSummary& summary);
// The notification: its title (the counts) and a short body naming the first few books not
// converted.
QString SummaryNoticeTitle(const ConversionSummary& summary);
QString SummaryNoticeBody(const ConversionSummary& summary);

// "1 book", "2 books".
QString BookCount(int count);

// How many books a list of the summary names before it says how many more there are.
inline constexpr int kMostNamed = 20;
// How many the notification names.
inline constexpr int kMostNamedInNotice = 5;

}  // namespace bq
