#include "platform/SettingsStore.h"

#include "platform/ReadWholeFile.h"
#include "platform/RunTimeError.h"
#include "platform/SpecialFolder.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>

#include <unistd.h>
#include <cerrno>

namespace bq {

namespace {

const QString kSource = QStringLiteral("Settings");

// A store file that is not INI text: not UTF-8, NUL bytes, or lines that are neither a section,
// a key=value pair nor a comment. Such a file is reported, never rewritten.
bool LooksCorrupt(const QByteArray& content) {
    if (content.contains('\0')) {
        return true;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(content);
    if (utf8.hasError()) {
        return true;
    }
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3 ||
                line.mid(1, line.size() - 2).contains(QLatin1Char('['))) {
                return true;
            }
            continue;
        }
        if (line.indexOf(QLatin1Char('=')) < 1) {
            return true;
        }
    }
    return false;
}

QString StoreFileName(const QString& appName, const QString& section) {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + appName + QLatin1Char('/') + section + QStringLiteral(".ini");
}

// The file is checked before QSettings opens it: QSettings would clean up (and so rewrite) a
// file it cannot parse.
void CheckStoreFile(const QString& file) {
    if (!QFileInfo::exists(file)) {
        return;
    }
    QByteArray content;
    try {
        content = ReadWholeFile(file);
    } catch (const RunTimeError& e) {
        RaiseError(e.number(), kSource);
    }
    if (LooksCorrupt(content)) {
        RaiseError(ErrPathFileAccess, kSource);
    }
}

// Opens the store of appName, after checking its file: one that cannot be read or understood
// raises an error (and so is never overwritten by a write that would lose what it holds).
class Store {
  public:
    Store(const QString& appName, const QString& section)
        : m_checked((CheckStoreFile(StoreFileName(appName, section)), true)),
          m_settings(QSettings::IniFormat, QSettings::UserScope, appName, section) {
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
    [[maybe_unused]] bool m_checked;  // first: the file is checked before QSettings reads it
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

QString SettingKeyName(Setting setting) {
    for (const SettingDefinition& definition : kSettingTable) {
        if (definition.setting == setting) {
            return QLatin1String(definition.key);
        }
    }
    RaiseError(ErrInvalidCall, kSource);
}

QString GetSetting(Setting setting) {
    for (const SettingDefinition& definition : kSettingTable) {
        if (definition.setting == setting) {
            const QString key = QLatin1String(definition.key);
            if (definition.defaultText != nullptr) {
                return GetSetting(key, QString::fromUtf8(definition.defaultText));
            }
            return HasSetting(key) ? GetSetting(key) : SpecialFolderPath();
        }
    }
    RaiseError(ErrInvalidCall, kSource);
}

void SaveSetting(Setting setting, const QString& value) {
    SaveSetting(SettingKeyName(setting), value);
}

bool TextToBoolean(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    // Only plain decimal numbers: "nan", "inf" and exponents are not numbers to the user.
    static const QRegularExpression plainNumber(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)$"));
    bool ok = false;
    const double number = plainNumber.match(t).hasMatch() ? t.toDouble(&ok) : 0.0;
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
