#pragma once

// A file's bytes read whole, and a file written whole (its folders made), for tests.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// The file's bytes; empty when it cannot be read.
inline QByteArray Content(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes bytes as the whole file; a test that cannot write it fails.
inline void Write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QVERIFY2(file.write(bytes) == bytes.size(), qPrintable(path));
}
