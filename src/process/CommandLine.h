#pragma once

#include <QString>
#include <QStringList>

namespace bq {

// Command lines as RunAndWait takes them: arguments separated by blanks, double quotes grouping
// an argument, and inside quotes \" for a quote and \\ for a backslash. Never goes through a
// shell. The program itself starts children from argument lists (ChildSpec); a command line is
// split once, where one is given.

// Splits a command line into its arguments.
QStringList SplitCommandLine(const QString& commandLine);
// Quotes one argument so that SplitCommandLine gives it back unchanged, whatever it holds.
QString QuoteArgument(const QString& argument);

}  // namespace bq
