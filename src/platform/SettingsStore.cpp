#include "platform/SettingsStore.h"

#include "platform/ProgramFolder.h"
#include "platform/ReadWholeFile.h"
#include "platform/RunTimeError.h"
#include "platform/SpecialFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <unistd.h>
#include <cerrno>
#include <optional>

namespace bq {

namespace {

const QString kSource = QStringLiteral("Settings");

// A store file that is not INI text: not UTF-8, NUL bytes, or lines that are neither a section,
// a key=value pair nor a ";" comment (Qt takes no "#" comments). Such a file is reported, never
// rewritten.
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
        if (line.isEmpty() || line.startsWith(QLatin1Char(';'))) {
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

// The store file's bytes (empty for a missing file). A file that cannot be read, or is not INI
// text, raises an error (and so is never overwritten by a write that would lose what it holds).
QByteArray ReadStoreFile(const QString& file) {
    // Also a store whose folder is not a folder: that is found when it is written.
    if (!QFileInfo::exists(file)) {
        return {};
    }
    QByteArray content;
    try {
        content = ReadWholeFile(file);
    } catch (const RunTimeError& e) {
        if (e.number() == ErrFileNotFound) {
            return {};  // gone since it was looked at
        }
        RaiseError(e.number(), kSource);
    }
    if (LooksCorrupt(content)) {
        RaiseError(ErrPathFileAccess, kSource);
    }
    return content;
}

// Replaces the store file's content whole (a temporary file renamed over it), creating its
// folder when needed. A file or folder the user may not write raises "Permission denied".
void WriteStoreFile(const QString& file, const QByteArray& content) {
    if (!QDir().mkpath(QFileInfo(file).path())) {
        RaiseError(ErrPermissionDenied, kSource);
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        RaiseError(ErrPermissionDenied, kSource);
    }
    if (out.write(content) != content.size() || !out.commit()) {
        RaiseError(ErrPathFileAccess, kSource);
    }
}

// The folders a working copy of the store may go to, in order: the user's runtime folder and
// /dev/shm (in memory: QSettings flushes the copy to its device at every write, which on a busy
// disk would hold up the window), TEMP, then the store's own folder. An unwritable TEMP must not
// keep the program from its settings.
QStringList PrivateCopyFolders(const QString& storeFile) {
    QStringList folders;
    for (const QString& folder :
         {qEnvironmentVariable("XDG_RUNTIME_DIR"), QStringLiteral("/dev/shm"), TempFolder(),
          QFileInfo(storeFile).path()}) {
        if (!folder.isEmpty() && !folders.contains(folder)) {
            folders << folder;
        }
    }
    return folders;
}

// Opens copy (a private file for QSettings to decode and encode the store's text in) in the
// first of those folders where one can be made.
bool OpenPrivateCopy(QTemporaryFile& copy, const QString& storeFile) {
    for (const QString& folder : PrivateCopyFolders(storeFile)) {
        copy.setFileTemplate(folder + QStringLiteral("/bq-settings-XXXXXX.ini"));
        if (copy.open()) {
            return true;
        }
    }
    return false;
}

// The store as one use sees it. QSettings is never pointed at the store file itself: it keeps
// one shared copy of each file it opens for the whole process, retries a change it could not
// save at every later opening (so one failed write would make every later read fail), and
// rewrites a file it cannot parse at the next write. Instead the file is read here, and
// QSettings decodes and encodes its INI text on a private copy that lives for this use only.
class Store {
  public:
    Store(const QString& appName, const QString& section)
        : m_file(StoreFileName(appName, section)) {
        const QByteArray content = ReadStoreFile(m_file);
        if (!OpenPrivateCopy(m_copy, m_file) || m_copy.write(content) != content.size() ||
            !m_copy.flush()) {
            RaiseError(ErrPathFileAccess,
                       kSource +
                           QStringLiteral(": a working copy of the settings could not be "
                                          "made in any of ") +
                           PrivateCopyFolders(m_file).join(QStringLiteral(", ")));
        }
        m_settings.emplace(m_copy.fileName(), QSettings::IniFormat);
        CheckStatus();
        m_settings->beginGroup(section);
    }

    QSettings& settings() { return *m_settings; }

    // Writes the copy back into the store file.
    void Save() {
        m_settings->sync();
        CheckStatus();
        QByteArray content;
        try {
            content = ReadWholeFile(m_copy.fileName());
        } catch (const RunTimeError&) {
            RaiseError(ErrPathFileAccess, kSource);
        }
        WriteStoreFile(m_file, content);
    }

  private:
    void CheckStatus() {
        switch (m_settings->status()) {
            case QSettings::NoError:
                return;
            case QSettings::AccessError:
                RaiseError(ErrPermissionDenied, kSource);
            case QSettings::FormatError:
                RaiseError(ErrPathFileAccess, kSource);
        }
    }

    QString m_file;
    QTemporaryFile m_copy;
    std::optional<QSettings> m_settings;
};

QString ValueText(const QVariant& value) {
    // An INI value with unquoted commas reads back as a list; give the text as it stands.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

// The text a key holds, or nothing when the key was never written.
std::optional<QString> StoredText(const QString& appName, const QString& section,
                                  const QString& key) {
    Store store(appName, section);
    const QVariant value = store.settings().value(key);
    if (!value.isValid()) {
        return std::nullopt;
    }
    return ValueText(value);
}

}  // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    return StoredText(appName, section, key).value_or(defaultValue);
}

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   int defaultValue) {
    return GetSetting(appName, section, key, QString::number(defaultValue));
}

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value) {
    Store store(appName, section);
    // A key that already holds the text is left alone: the file (its comments too) is not
    // rewritten for nothing, and a read-only store is no error while nothing changes.
    const QVariant stored = store.settings().value(key);
    if (stored.isValid() && ValueText(stored) == value) {
        return;
    }
    store.settings().setValue(key, value);
    store.Save();
}

QString GetSetting(const QString& key, const QString& defaultValue) {
    return GetSetting(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key,
                      defaultValue);
}

QString GetSetting(const QString& key, int defaultValue) {
    return GetSetting(key, QString::number(defaultValue));
}

bool HasSetting(const QString& key) {
    return StoredText(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key)
        .has_value();
}

void SaveSetting(const QString& key, const QString& value) {
    SaveSetting(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key, value);
}

namespace {
const SettingDefinition& DefinitionOf(Setting setting) {
    for (const SettingDefinition& definition : kSettingTable) {
        if (definition.setting == setting) {
            return definition;
        }
    }
    RaiseError(ErrInvalidCall, kSource);
}
}  // namespace

QString SettingKeyName(Setting setting) {
    return QLatin1String(DefinitionOf(setting).key);
}

QString GetSetting(Setting setting) {
    const SettingDefinition& definition = DefinitionOf(setting);
    const QString key = QLatin1String(definition.key);
    if (definition.defaultText != nullptr) {
        return GetSetting(key, QString::fromUtf8(definition.defaultText));
    }
    const std::optional<QString> stored =
        StoredText(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection), key);
    return stored ? *stored : SpecialFolderPath();
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
    return StoreFileName(QLatin1String(kSettingsAppName), QLatin1String(kSettingsSection));
}

}  // namespace bq
