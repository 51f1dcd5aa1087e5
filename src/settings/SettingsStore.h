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

// Tests keep their settings in a file of their own; an empty path goes back
// to the user's store.
void SetSettingsFileForTesting(const QString& path);
