// The Kindle choices: calibre's options for them, and how the settings hold them.
#include "convert/KindleChoices.h"

#include "platform/ErrorTrap.h"
#include "platform/SettingsStore.h"

#include <QLoggingCategory>

#include <array>
#include <exception>

Q_LOGGING_CATEGORY(lcChoices, "brindlequill.conversion")

namespace bq {

namespace {

// calibre 6.13's Kindle output profiles (calibre/customize/profiles.py), oldest device first.
constexpr std::array<KindleProfile, 8> kProfiles{{
    {"kindle", "Kindle 1 to 4 and Kindle Touch"},
    {"kindle_dx", "Kindle DX"},
    {"kindle_fire", "Kindle Fire"},
    {"kindle_pw", "Kindle Paperwhite 1 and 2"},
    {"kindle_voyage", "Kindle Voyage"},
    {"kindle_pw3", "Kindle Paperwhite 3 and later"},
    {"kindle_oasis", "Kindle Oasis 2017, Paperwhite 2021 and later"},
    {"kindle_scribe", "Kindle Scribe"},
}};

const QString kMobi6 = QStringLiteral("MOBI6");
const QString kJoint = QStringLiteral("Joint");

// The setting's text, or nothing when the store cannot be read (noted).
std::optional<QString> SettingText(Setting setting) {
    try {
        return GetSetting(setting);
    } catch (...) {
        const RunTimeError error = ErrorTrap::ToRunTimeError(std::current_exception());
        qCWarning(lcChoices).noquote()
            << "The setting" << SettingKeyName(setting)
            << "could not be read (" + error.description() + "); its default is used.";
        return std::nullopt;
    }
}

bool BooleanSetting(Setting setting) {
    const std::optional<QString> text = SettingText(setting);
    if (!text) {
        return false;
    }
    try {
        return TextToBoolean(*text);
    } catch (...) {
        qCWarning(lcChoices).noquote()
            << QStringLiteral(
                   "The setting %1=\"%2\" is neither True nor False and is ignored; "
                   "False is used.")
                   .arg(SettingKeyName(setting), *text);
        return false;
    }
}

}  // namespace

std::span<const KindleProfile> KindleProfiles() {
    return kProfiles;
}

std::optional<KindleFormat> KindleFormatFromText(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(kMobi6, Qt::CaseInsensitive) == 0) {
        return KindleFormat::Mobi6;
    }
    if (t.compare(kJoint, Qt::CaseInsensitive) == 0) {
        return KindleFormat::Joint;
    }
    return std::nullopt;
}

QString KindleFormatText(KindleFormat format) {
    return format == KindleFormat::Joint ? kJoint : kMobi6;
}

std::optional<QString> DeviceProfileFromText(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        return QString();
    }
    for (const KindleProfile& profile : kProfiles) {
        if (t.compare(QLatin1String(profile.name), Qt::CaseInsensitive) == 0) {
            return QString::fromLatin1(profile.name);
        }
    }
    return std::nullopt;
}

QString DeviceProfileTitle(const QString& name) {
    if (name.isEmpty()) {
        return QStringLiteral("calibre's default profile");
    }
    for (const KindleProfile& profile : kProfiles) {
        if (name == QLatin1String(profile.name)) {
            return QString::fromUtf8(profile.title);
        }
    }
    return name;
}

QStringList ConverterOptions(const KindleChoices& choices) {
    QStringList options;
    if (choices.format == KindleFormat::Joint) {
        options << QStringLiteral("--mobi-file-type") << QStringLiteral("both");
    }
    if (!choices.deviceProfile.isEmpty()) {
        options << QStringLiteral("--output-profile") << choices.deviceProfile;
    }
    return options;
}

KindleChoices KindleChoicesFromSettings() {
    KindleChoices choices;
    if (const std::optional<QString> text = SettingText(Setting::KindleFormat)) {
        if (const std::optional<KindleFormat> format = KindleFormatFromText(*text)) {
            choices.format = *format;
        } else {
            qCWarning(lcChoices).noquote()
                << QStringLiteral(
                       "The setting KindleFormat=\"%1\" is neither MOBI6 nor Joint and "
                       "is ignored; MOBI6 is used.")
                       .arg(*text);
        }
    }
    if (const std::optional<QString> text = SettingText(Setting::DeviceProfile)) {
        if (const std::optional<QString> profile = DeviceProfileFromText(*text)) {
            choices.deviceProfile = *profile;
        } else {
            QStringList names;
            for (const KindleProfile& known : kProfiles) {
                names << QLatin1String(known.name);
            }
            qCWarning(lcChoices).noquote()
                << QStringLiteral(
                       "The setting DeviceProfile=\"%1\" names no Kindle profile (%2) "
                       "and is ignored; calibre's default profile is used.")
                       .arg(*text, names.join(QStringLiteral(", ")));
        }
    }
    choices.keepFolders = BooleanSetting(Setting::KeepFolders);
    choices.skipUpToDate = BooleanSetting(Setting::SkipUpToDate);
    return choices;
}

void SaveKindleChoices(const KindleChoices& choices) {
    SaveSetting(Setting::KindleFormat, KindleFormatText(choices.format));
    SaveSetting(Setting::DeviceProfile, choices.deviceProfile);
    SaveSetting(Setting::KeepFolders, BooleanToText(choices.keepFolders));
    SaveSetting(Setting::SkipUpToDate, BooleanToText(choices.skipUpToDate));
}

}  // namespace bq
