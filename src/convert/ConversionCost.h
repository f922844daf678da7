#pragma once

#include <QString>

namespace bq {

// How long a book is expected to take to convert, in seconds, from what is cheap to know before
// converting it: the sizes its EPUB's central directory gives, without reading any entry. The
// converter's time grows with the book's markup (parsing and splitting it) and with its number
// of files; pictures, fonts and other files cost next to nothing. Measured on calibre 6 (Debian
// 12), one book at a time: a one-chapter book of 1.3 MB of XHTML takes about 13 s, 2000 chapters
// of 1.5 MB about 20 s, a book with one 6 MB picture or 700 KB of fonts under 1 s. A file that is
// no ZIP is judged by its size as if it were markup. Only the order of the estimates matters to
// the run: the longest books start first.
double ExpectedConversionSeconds(const QString& epub);

}  // namespace bq
