#include "SettingsStore.h"

#include <QSettings>

#include <limits>
#include <memory>

namespace {

struct SettingDef
{
    Setting key;
    const char* name;
    uint32_t defaultValue;
};

// Every reader uses 0 when the value is missing.
constexpr SettingDef kSettings[] = {
    {Setting::FirstStart, "FirstStart", 0},
    {Setting::FastSend, "FastSend", 0},
    {Setting::AutoSend, "AutoSend", 0},
    {Setting::AddZero, "AddZero", 0},
};

const SettingDef& Def(Setting key)
{
    for (const SettingDef& def : kSettings)
        if (def.key == key)
            return def;
    return kSettings[0];
}

struct ExtraDef
{
    Extra key;
    const char* name;
    ExtraKind kind;
    const char* defaultValue; // the number's digits for a number
};

constexpr ExtraDef kExtras[] = {
    {Extra::NumberFormats, "NumberFormats", ExtraKind::Number, "0"},
    {Extra::CountryCode, "CountryCode", ExtraKind::Number, "31"},
    {Extra::AreaCode, "AreaCode", ExtraKind::Text, ""},
    {Extra::InternationalPrefix, "InternationalPrefix", ExtraKind::Text, "00"},
    {Extra::TrunkPrefix, "TrunkPrefix", ExtraKind::Text, "0"},
    {Extra::Notifications, "Notifications", ExtraKind::Number, "0"},
    {Extra::DeliveryReport, "DeliveryReport", ExtraKind::Number, "0"},
    {Extra::TextHook, "TextHook", ExtraKind::Text, ""},
};

const ExtraDef& Def(Extra key)
{
    for (const ExtraDef& def : kExtras)
        if (def.key == key)
            return def;
    return kExtras[0];
}

QString g_testFile; // user-interface thread only

std::unique_ptr<QSettings> Open(const QString& section)
{
    std::unique_ptr<QSettings> settings;
    if (g_testFile.isEmpty())
        settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                               QString::fromLatin1(kSettingsCompany),
                                               QString::fromLatin1(kSettingsApplication));
    else
        settings = std::make_unique<QSettings>(g_testFile, QSettings::IniFormat);
    settings->beginGroup(section);
    return settings;
}

} // namespace

uint32_t ReadSettingInt(const QString& section, const QString& name, uint32_t defaultValue)
{
    const QVariant value = Open(section)->value(name);
    if (!value.isValid())
        return defaultValue;
    switch (value.typeId()) {
    case QMetaType::Int: // a 32-bit registry number comes back signed
        return static_cast<uint32_t>(value.toInt());
    case QMetaType::UInt:
        return value.toUInt();
    case QMetaType::QString: {
        // Digits only: no sign, no blanks, no hexadecimal, at most 32 bits.
        const QString text = value.toString();
        if (text.isEmpty() || text.size() > 10)
            return defaultValue;
        for (QChar ch : text)
            if (ch < u'0' || ch > u'9')
                return defaultValue;
        const qulonglong number = text.toULongLong();
        if (number > std::numeric_limits<uint32_t>::max())
            return defaultValue;
        return static_cast<uint32_t>(number);
    }
    default:
        return defaultValue; // anything wider or of another kind
    }
}

bool WriteSettingInt(const QString& section, const QString& name, uint32_t value)
{
    auto settings = Open(section);
    settings->setValue(name, QVariant::fromValue<uint>(value));
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString SettingName(Setting key) { return QString::fromLatin1(Def(key).name); }

uint32_t ReadSetting(Setting key)
{
    return ReadSettingInt(QString::fromLatin1(kSettingsSection), SettingName(key), Def(key).defaultValue);
}

bool WriteSetting(Setting key, uint32_t value)
{
    return WriteSettingInt(QString::fromLatin1(kSettingsSection), SettingName(key), value);
}

void SetSettingsFileForTesting(const QString& path) { g_testFile = path; }

QString ExtraName(Extra key) { return QString::fromLatin1(Def(key).name); }

ExtraKind ExtraKindOf(Extra key) { return Def(key).kind; }

uint32_t ReadExtraInt(Extra key)
{
    const uint32_t defaultValue = QByteArray(Def(key).defaultValue).toUInt();
    return ReadSettingInt(QString::fromLatin1(kExtraSection), ExtraName(key), defaultValue);
}

QString ReadExtraText(Extra key)
{
    const QVariant value = Open(QString::fromLatin1(kExtraSection))->value(ExtraName(key));
    if (!value.isValid() || !value.canConvert<QString>())
        return QString::fromLatin1(Def(key).defaultValue);
    return value.toString();
}

bool WriteExtraInt(Extra key, uint32_t value)
{
    return WriteSettingInt(QString::fromLatin1(kExtraSection), ExtraName(key), value);
}

bool WriteExtraText(Extra key, const QString& value)
{
    auto settings = Open(QString::fromLatin1(kExtraSection));
    settings->setValue(ExtraName(key), value);
    settings->sync();
    return settings->status() == QSettings::NoError;
}
