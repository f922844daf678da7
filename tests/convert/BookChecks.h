// What the window tests ask of the files a run leaves: their bytes, and whether libmobi's
// mobitool, a reader that is not calibre, reads a MOBI whole.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The file's bytes, or "<unreadable>".
inline QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// mobitool's exit status after dumping the whole book (-s -o), or -1 when it did not end.
inline int MobitoolStatus(const QString& mobi) {
    QTemporaryDir dump;
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("mobitool"),
               {QStringLiteral("-s"), QStringLiteral("-o"), dump.path(), mobi});
    if (!tool.waitForFinished(120000)) {
        return -1;
    }
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

// mobitool's account of the book when it reads it whole, else "".
inline QString ReadByMobitool(const QString& mobi) {
    if (MobitoolStatus(mobi) != 0) {
        return QString();
    }
    QProcess meta;
    meta.start(QStringLiteral("mobitool"), {mobi});
    meta.waitForFinished(60000);
    return QString::fromUtf8(meta.readAll());
}
