#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

// Runs a tool with its output thrown away; answers its exit code, -1 when it could not run.
inline int RunQuietly(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        return -1;
    }
    return process.exitCode();
}

// A FAT image in a temporary folder, mounted with fusefat at a mount point whose name holds a
// space (which /proc/self/mountinfo writes as "\040"). skipReason() tells why it could not be.
class FatStick {
  public:
    FatStick() {
        const QString mkfs = QStandardPaths::findExecutable(
            QStringLiteral("mkfs.vfat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        QFile image(m_dir.filePath(QStringLiteral("stick.img")));
        if (::geteuid() != 0) {
            m_skipReason = QStringLiteral("mounting a FAT image needs root");
        } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            m_skipReason = QStringLiteral("/dev/fuse cannot be opened");
        } else if (mkfs.isEmpty() || QStandardPaths::findExecutable("fusefat").isEmpty() ||
                   QStandardPaths::findExecutable("fusermount").isEmpty()) {
            m_skipReason = QStringLiteral(
                "mkfs.vfat, fusefat or fusermount is missing (packages dosfstools and fusefat)");
        } else if (!QDir(m_dir.path()).mkdir(QStringLiteral("fat stick")) ||
                   !image.open(QIODevice::WriteOnly) || !image.resize(8 * 1024 * 1024)) {
            m_skipReason = QStringLiteral("no room for the image and its mount point");
        } else if (RunQuietly(mkfs, {image.fileName()}) != 0) {
            m_skipReason = QStringLiteral("mkfs.vfat failed");
        } else if (RunQuietly(QStringLiteral("fusefat"),
                              {QStringLiteral("-o"), QStringLiteral("rw+"), image.fileName(),
                               path()}) != 0) {
            m_skipReason = QStringLiteral("fusefat could not mount the image (no FUSE here?)");
        }
        m_mounted = m_skipReason.isEmpty();
    }
    ~FatStick() { Unmount(); }

    void Unmount() {
        if (m_mounted) {
            m_mounted = RunQuietly(QStringLiteral("fusermount"), {"-u", "-z", path()}) != 0;
        }
    }
    QString path() const { return m_dir.filePath(QStringLiteral("fat stick")); }
    const QString& skipReason() const { return m_skipReason; }

  private:
    QTemporaryDir m_dir;
    QString m_skipReason;
    bool m_mounted = false;
};
