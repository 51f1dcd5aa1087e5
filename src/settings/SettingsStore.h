// The four per-user settings: 32-bit unsigned numbers in the user's settings
// (organisation "Vlinderwerk", application "Zoemlijn", group "Capi settings";
// the registry on Windows, ~/.config/Vlinderwerk/Zoemlijn.conf elsewhere).
// Nothing is cached: every read asks the store, so a change counts from its
// next use.
#pragma once

#include <QString>

#include <cstdint>

enum class Setting { FirstStart, FastSend, AutoSend, AddZero };

// The one section the program uses, and where it lives.
inline constexpr char kSettingsSection[] = "Capi settings";
inline constexpr char kSettingsCompany[] = "Vlinderwerk";
inline constexpr char kSettingsApplication[] = "Zoemlijn";

// The stored number, or `defaultValue` when the value is missing or is not
// a 32-bit unsigned number (text, negative, too large).
uint32_t ReadSettingInt(const QString& section, const QString& name, uint32_t defaultValue);
// False when the store could not be written; nobody has to look.
bool WriteSettingInt(const QString& section, const QString& name, uint32_t value);

// By key, with the name and default of the table.
QString SettingName(Setting key);
uint32_t ReadSetting(Setting key);
bool WriteSetting(Setting key, uint32_t value);

// Features of this program's own, each off or empty by default, in a group
// of their own beside "Capi settings". Numbers are 32-bit unsigned like the
// others; texts are stored as text, so prefixes keep their leading zeros.
// To add one: a key here and a row in the table in SettingsStore.cpp.
inline constexpr char kExtraSection[] = "Extra";

enum class Extra {
    NumberFormats,       // number: 1 recognises callers in any number format
    CountryCode,         // number: the user's country calling code
    AreaCode,            // text: the user's area code, without trunk prefix
    InternationalPrefix, // text: dialled before a country code
    TrunkPrefix,         // text: dialled before an area code
    Notifications,       // number
    DeliveryReport,      // number
    TextHook,            // text
};

enum class ExtraKind { Number, Text };

QString ExtraName(Extra key);
ExtraKind ExtraKindOf(Extra key);
// The stored value, or the table's default when it is missing; a number
// read as text gives its digits, a text read as a number gives the default
// unless it is all digits.
uint32_t ReadExtraInt(Extra key);
QString ReadExtraText(Extra key);
bool WriteExtraInt(Extra key, uint32_t value);
bool WriteExtraText(Extra key, const QString& value);

// Tests keep their settings in a file of their own; an empty path goes back
// to the user's store.
void SetSettingsFileForTesting(const QString& path);
