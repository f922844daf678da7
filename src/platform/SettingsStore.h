#pragma once

#include <QString>

namespace bq {

// The per-user store of the program's choices: QSettings in INI form, organisation "Tarvex",
// section "Brindlequill". Values are texts; every read goes to the store and every write is
// flushed at once. A store that cannot be read or written raises a run-time error; a failed
// write leaves later reads working, and a file that cannot be read as it is is never rewritten.
inline constexpr const char* kSettingsAppName = "Tarvex";
inline constexpr const char* kSettingsSection = "Brindlequill";

// The keys the program keeps, and what a read of each gives while it was never written.
enum class Setting {
    Option1,
    Option2,
    Text1,
    LastFolderDot,
    LastFolder,
    Extension,
    Snapshot,
    Jobs,
    BookTimeLimit,
    KindleFormat,
    DeviceProfile,
    KeepFolders,
    SkipUpToDate,
    MemoryBudget
};

struct SettingDefinition {
    Setting setting;
    const char* key;
    const char* defaultText;  // null: the desktop folder followed by "/", found at each read
};

// Every key is described to the person in the README's table of keys and in the manual page,
// in this order (a test holds the three together).
inline constexpr SettingDefinition kSettingTable[] = {
    // True: results go to the folder in Text1 ("Save results to this folder:").
    {Setting::Option1, "Option1", "1"},
    // True: each result goes next to its book ("Save results in folder of original file").
    {Setting::Option2, "Option2", "0"},
    // The folder results go to; at first the desktop folder.
    {Setting::Text1, "Text1", nullptr},
    // The folder last picked with "..."; its folder picker opens there.
    {Setting::LastFolderDot, "LastFolderDot", ""},
    // The folder last picked for "Add All EPUB File(s) In Folder".
    {Setting::LastFolder, "LastFolder", ""},
    // The extension "Add All EPUB File(s) In Folder" last loaded.
    {Setting::Extension, "Extension", "epub"},
    // The sample books "Load Sample/Example Files" adds ("": recorded again from Samples).
    {Setting::Snapshot, "Snapshot", ""},
    // How many books convert at once (1 to 16); "": one per core the program may use, at
    // most 4.
    {Setting::Jobs, "Jobs", ""},
    // How long one book may take to convert, in seconds (30 to 86400); "": 1800.
    {Setting::BookTimeLimit, "BookTimeLimit", ""},
    // The kind of MOBI file made: "MOBI6" (an old-style file) or "Joint" (MOBI 6 and KF8 in one
    // file).
    {Setting::KindleFormat, "KindleFormat", "MOBI6"},
    // calibre's output profile the books are laid out for: "" (calibre's default) or the name of
    // one of its Kindle profiles ("kindle_pw3").
    {Setting::DeviceProfile, "DeviceProfile", ""},
    // With "Save results to this folder:", a book added from a folder goes to the same sub-folder
    // of the output folder as it had under the folder it was added from.
    {Setting::KeepFolders, "KeepFolders", "False"},
    // A book whose result exists and is newer than the book is skipped.
    {Setting::SkipUpToDate, "SkipUpToDate", "False"},
    // How much memory all converters together may take ("4G", "4096M" or bytes, at least
    // 256M); "" gives half the machine's memory.
    {Setting::MemoryBudget, "MemoryBudget", ""},
};

// The key's name in the store.
QString SettingKeyName(Setting setting);

// The stored text of a key of the program's own section, or its default from the table.
QString GetSetting(Setting setting);

// Writes a key of the program's own section. A key that already holds the text is not written
// again (the file stays as it is, comments too).
void SaveSetting(Setting setting, const QString& value);

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
