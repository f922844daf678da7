#pragma once

#include <QString>

namespace bq {

// The per-user store of the program's choices: QSettings in INI form, organisation "Tarvex",
// section "Brindlequill". Values are texts; every read goes to the store and every write is
// flushed at once. A store that cannot be read or written raises a run-time error.
inline constexpr const char* kSettingsAppName = "Tarvex";
inline constexpr const char* kSettingsSection = "Brindlequill";

// The keys the program keeps.
namespace SettingKey {
inline constexpr const char* Option1 = "Option1";
inline constexpr const char* Option2 = "Option2";
inline constexpr const char* Text1 = "Text1";
inline constexpr const char* LastFolder = "LastFolder";
inline constexpr const char* LastFolderDot = "LastFolderDot";
inline constexpr const char* Extension = "Extension";
inline constexpr const char* Snapshot = "Snapshot";
}  // namespace SettingKey

// The value of a key, or defaultValue when the key was never written. A key holding the empty
// text gives the empty text.
QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue = {});
// A number given as the default is returned in its text form ("1", "0").
QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   int defaultValue);

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value);

// The program's own section.
QString GetSetting(const QString& key, const QString& defaultValue = {});
QString GetSetting(const QString& key, int defaultValue);
bool HasSetting(const QString& key);
void SaveSetting(const QString& key, const QString& value);

// "True"/"False" in any letter case, or a number (non-zero is true); any other text raises
// the "Type mismatch" error (13).
bool TextToBoolean(const QString& text);

// How a Boolean is stored: "True" or "False".
QString BooleanToText(bool value);

// The file that holds the store (for messages).
QString SettingsFileName();

}  // namespace bq
