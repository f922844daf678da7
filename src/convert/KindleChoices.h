#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <span>

namespace bq {

// What a Kindle gets: the kind of MOBI file, the device the book is laid out for, where the
// results of a folder go, and whether books already converted are left alone. A run reads them
// once, at its start, and keeps them for every book of the run.
enum class KindleFormat {
    Mobi6,  // calibre's default: an old-style MOBI 6 file
    Joint,  // one .mobi file holding both MOBI 6 and KF8 (calibre's --mobi-file-type both)
};

struct KindleChoices {
    KindleFormat format = KindleFormat::Mobi6;
    QString deviceProfile;  // "": calibre's default output profile; else a KindleProfiles() name
    bool keepFolders = false;
    bool skipUpToDate = false;
};

// One of calibre's Kindle output profiles: its name for --output-profile and the devices it
// suits, in a person's words.
struct KindleProfile {
    const char* name;
    const char* title;
};

// calibre's Kindle output profiles, oldest device first.
std::span<const KindleProfile> KindleProfiles();

// "MOBI6" or "Joint" (any letter case, blanks around ignored); nothing for another text.
std::optional<KindleFormat> KindleFormatFromText(const QString& text);
// How a format is stored: "MOBI6" or "Joint".
QString KindleFormatText(KindleFormat format);
// A Kindle profile's name as calibre spells it ("" for calibre's default), or nothing when the
// text names no Kindle profile (letter case and blanks around are forgiven).
std::optional<QString> DeviceProfileFromText(const QString& text);
// The title of a profile name ("calibre's default profile" for "").
QString DeviceProfileTitle(const QString& name);

// calibre's options for the choices, which follow the source and the output on the converter's
// command line: none at all when every choice is at its default.
QStringList ConverterOptions(const KindleChoices& choices);

// The choices as the settings hold them (KindleFormat, DeviceProfile, KeepFolders,
// SkipUpToDate). A value that cannot be read or names no choice is noted on standard error and
// its default is used.
KindleChoices KindleChoicesFromSettings();
// Writes the four choices to the settings (a key that holds its value is not written again).
void SaveKindleChoices(const KindleChoices& choices);

}  // namespace bq
