#pragma once

#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Puts a file where the settings folder belongs, so that every write of a setting fails, and
// takes it away again when it goes out of scope (also when a check fails first).
class SettingsFolderBlocked {
  public:
    SettingsFolderBlocked() : m_folder(QFileInfo(bq::SettingsFileName()).path()) {
        QDir(m_folder).removeRecursively();
        QDir().mkpath(QFileInfo(m_folder).path());
        QFile blocker(m_folder);
        m_ok = blocker.open(QIODevice::WriteOnly);
    }
    ~SettingsFolderBlocked() { QFile::remove(m_folder); }
    SettingsFolderBlocked(const SettingsFolderBlocked&) = delete;
    SettingsFolderBlocked& operator=(const SettingsFolderBlocked&) = delete;

    bool ok() const { return m_ok; }

  private:
    QString m_folder;
    bool m_ok = false;
};
