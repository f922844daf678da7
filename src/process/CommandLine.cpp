// Command lines as the program hands them to the process runner: arguments separated by blanks,
// double quotes grouping an argument, and inside quotes \" for a quote and \\ for a backslash.
#include "process/CommandLine.h"

namespace bq {

QStringList SplitCommandLine(const QString& commandLine) {
    QStringList arguments;
    QString current;
    bool inArgument = false;  // something (possibly just "") has been read for `current`
    bool quoted = false;
    const qsizetype length = commandLine.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = commandLine.at(i);
        if (quoted) {
            if (c == u'\\' && i + 1 < length &&
                (commandLine.at(i + 1) == u'"' || commandLine.at(i + 1) == u'\\')) {
                current += commandLine.at(++i);
            } else if (c == u'"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t') {
            if (inArgument) {
                arguments.append(current);
                current.clear();
                inArgument = false;
            }
        } else if (c == u'"') {
            quoted = true;
            inArgument = true;
        } else {
            // Outside quotes a backslash is an ordinary file-name character.
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) {
        arguments.append(current);
    }
    return arguments;
}

QString QuoteArgument(const QString& argument) {
    QString quoted;
    quoted.reserve(argument.size() + 2);
    quoted += u'"';
    for (const QChar c : argument) {
        if (c == u'"' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

}  // namespace bq
