#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

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
