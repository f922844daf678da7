#include "app/SettingsStore.h"

#include "platform/RunTimeError.h"

#include <QFileInfo>
#include <QSettings>

#include <unistd.h>
#include <cerrno>

namespace bq {

namespace {

const QString kSource = QStringLiteral("Settings");

// Opens the store of appName and raises an error when its file is there but cannot be read or
// understood.
class Store {
  public:
    Store(const QString& appName, const QString& section)
        : m_settings(QSettings::IniFormat, QSettings::UserScope, appName, section) {
        const QByteArray file = QFile::encodeName(m_settings.fileName());
        if (::access(file.constData(), F_OK) == 0 && ::access(file.constData(), R_OK) != 0) {
            RaiseErrno(errno, kSource);
        }
        CheckStatus();
        m_settings.beginGroup(section);
    }

    QSettings& settings() { return m_settings; }

    void CheckStatus() {
        switch (m_settings.status()) {
            case QSettings::NoError:
                return;
            case QSettings::AccessError:
                RaiseError(ErrPermissionDenied, kSource);
            case QSettings::FormatError:
                RaiseError(ErrPathFileAccess, kSource);
        }
    }

  private:
    QSettings m_settings;
};

QString ValueText(const QVariant& value) {
    // An INI value with unquoted commas reads back as a list; give the text as it stands.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

}  // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    Store store(appName, section);
    const QVariant value = store.settings().value(key);
    if (!value.isValid()) {
        return defaultValue;
    }
    return ValueText(value);
}

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   int defaultValue) {
    return GetSetting(appName, section, key, QString::number(defaultValue));
}

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value) {
    Store store(appName, section);
    store.settings().setValue(key, value);
    store.settings().sync();
    store.CheckStatus();
}

QString GetSetting(const QString& key, const QString& defaultValue) {
    return GetSetting(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key,
                      defaultValue);
}

QString GetSetting(const QString& key, int defaultValue) {
    return GetSetting(key, QString::number(defaultValue));
}

bool HasSetting(const QString& key) {
    Store store{QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection)};
    return store.settings().contains(key);
}

void SaveSetting(const QString& key, const QString& value) {
    SaveSetting(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key, value);
}

bool TextToBoolean(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    bool ok = false;
    const double number = t.toDouble(&ok);
    if (!ok) {
        RaiseError(ErrTypeMismatch, kSource);
    }
    return number != 0.0;
}

QString BooleanToText(bool value) {
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

QString SettingsFileName() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QLatin1String(kSettingsAppName),
                     QLatin1String(kSettingsSection))
        .fileName();
}

}  // namespace bq
