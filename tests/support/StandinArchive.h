#pragma once

#include "support/FileContent.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// The stand-in converter runtime of the conversion tests: the stand-in ebook-convert (its result
// chosen by each book's first line) and the sample MOBI it writes, zipped as the program's
// runtime archive is. Made in `work` (standin/ and standin.zip); gives the archive's bytes, or
// nothing when it could not be made. Needs BQ_STANDIN_DIR and BQ_SAMPLE_MOBI.
inline QByteArray MakeStandinArchive(const QString& work) {
    const QString runtime = work + QStringLiteral("/standin");
    QDir(runtime).removeRecursively();
    QDir().mkpath(runtime);
    if (!QFile::copy(QStringLiteral(BQ_STANDIN_DIR "/ebook-convert"),
                     runtime + QStringLiteral("/ebook-convert")) ||
        !QFile::copy(QStringLiteral(BQ_SAMPLE_MOBI), runtime + QStringLiteral("/sample.mobi"))) {
        return {};
    }
    QProcess zip;
    zip.setWorkingDirectory(runtime);
    zip.start(QStringLiteral("zip"),
              {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("../standin.zip"),
               QStringLiteral("ebook-convert"), QStringLiteral("sample.mobi")});
    if (!zip.waitForFinished(30000) || zip.exitCode() != 0) {
        return {};
    }
    QFile archive(work + QStringLiteral("/standin.zip"));
    return archive.open(QIODevice::ReadOnly) ? archive.readAll() : QByteArray();
}

// The lines the stand-in converter wrote (when BQ_STANDIN_CALLS names the file): pid, output,
// CALIBRE_TEMP_DIR, then the options it was given.
inline QList<QStringList> Calls(const QString& file) {
    QList<QStringList> calls;
    for (const QByteArray& line : Content(file).split('\n')) {
        if (!line.isEmpty()) {
            calls << QString::fromLocal8Bit(line).split(QLatin1Char('\t'));
        }
    }
    return calls;
}

// The processes of a process group that still run (zombies waiting for their reaper do not).
inline int LiveMembersOfGroup(pid_t group) {
    int live = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = Content(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0) {
            continue;
        }
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 2 && fields[2].toInt() == group && fields[0] != "Z") {
            ++live;
        }
    }
    return live;
}
