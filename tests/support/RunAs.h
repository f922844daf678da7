#pragma once

#include <QProcess>
#include <QStringList>

// Runs a command as the unprivileged user "nobody" (root ignores permission bits, so a test of
// an unreadable or unwritable place must run that part as somebody else). Answers the exit code,
// or -1 when the command could not be run.
inline int RunAsNobody(const QString& program, const QStringList& arguments,
                       QString* output = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("setpriv"),
                  QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                              QStringLiteral("--clear-groups"), program} +
                      arguments);
    if (!process.waitForFinished(60000)) {
        return -1;
    }
    if (output != nullptr) {
        *output = QString::fromLocal8Bit(process.readAll());
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
