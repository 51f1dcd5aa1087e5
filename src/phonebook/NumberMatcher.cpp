#include "NumberMatcher.h"

#include "SettingsStore.h"

#include <phonenumbers/phonenumberutil.h>

#include <algorithm>

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

namespace {

const PhoneNumberUtil& Util() { return *PhoneNumberUtil::GetInstance(); }

bool AllDigits(const QString& text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar ch) { return ch >= u'0' && ch <= u'9'; });
}

QString DigitsOf(const QString& text)
{
    QString digits;
    for (QChar ch : text)
        if (ch >= u'0' && ch <= u'9')
            digits += ch;
    return digits;
}

// "+" and digits, parsed without a region: the country code is in it.
bool ParseInternational(const QString& digits, PhoneNumber* number)
{
    if (!AllDigits(digits))
        return false;
    return Util().Parse("+" + digits.toStdString(), "ZZ", number) == PhoneNumberUtil::NO_PARSING_ERROR;
}

QString E164Of(const PhoneNumber& number)
{
    std::string text;
    Util().Format(number, PhoneNumberUtil::E164, &text);
    return QString::fromStdString(text);
}

} // namespace

NumberRules NumberRules::FromSettings()
{
    NumberRules rules;
    rules.enabled = ReadExtraInt(Extra::NumberFormats) != 0;
    rules.countryCode = ReadExtraInt(Extra::CountryCode);
    rules.areaCode = ReadExtraText(Extra::AreaCode);
    rules.internationalPrefix = ReadExtraText(Extra::InternationalPrefix);
    rules.trunkPrefix = ReadExtraText(Extra::TrunkPrefix);
    return rules;
}

CNumberMatcher::CNumberMatcher(const NumberRules& rules) : m_rules(rules)
{
    // Only digits count; an area code typed with its trunk prefix loses it.
    m_rules.internationalPrefix = DigitsOf(m_rules.internationalPrefix);
    m_rules.trunkPrefix = DigitsOf(m_rules.trunkPrefix);
    m_rules.areaCode = DigitsOf(m_rules.areaCode);
    if (!m_rules.trunkPrefix.isEmpty() && m_rules.areaCode.startsWith(m_rules.trunkPrefix))
        m_rules.areaCode.remove(0, m_rules.trunkPrefix.size());
    if (m_rules.countryCode > 0 && m_rules.countryCode < 1000)
        m_country = QString::number(m_rules.countryCode);
}

bool CNumberMatcher::IsSeparator(QChar ch)
{
    return ch == u' ' || ch == u'\t' || ch == u'-' || ch == u'.' || ch == u'(' || ch == u')' || ch == u'/' ||
           ch == u'[' || ch == u']' || ch == QChar(0xA0);
}

QString CNumberMatcher::Clean(const QString& written)
{
    QString clean;
    clean.reserve(written.size());
    for (QChar ch : written)
        if (!IsSeparator(ch))
            clean += ch;
    return clean;
}

QString CNumberMatcher::Format(const QString& international) const
{
    PhoneNumber number;
    return ParseInternational(international, &number) ? E164Of(number) : QString();
}

QString CNumberMatcher::BookE164(const QString& written) const
{
    const QString s = Clean(written);
    if (s.startsWith(u'+'))
        return Format(s.mid(1));
    if (!AllDigits(s))
        return {};
    const QString& ip = m_rules.internationalPrefix;
    const QString& trunk = m_rules.trunkPrefix;
    // The international prefix first: "00" also starts with the trunk's "0".
    if (!ip.isEmpty() && s.startsWith(ip))
        return Format(s.mid(ip.size()));
    if (m_country.isEmpty())
        return {};
    if (!trunk.isEmpty() && s.startsWith(trunk))
        return Format(m_country + s.mid(trunk.size()));
    PhoneNumber national;
    if (ParseInternational(m_country + s, &national) && Util().IsValidNumber(national))
        return E164Of(national);
    return Format(m_country + m_rules.areaCode + s);
}

QString CNumberMatcher::ValidE164(const QString& written) const
{
    const QString e164 = BookE164(written);
    PhoneNumber number;
    if (e164.isEmpty() || !ParseInternational(e164.mid(1), &number) || !Util().IsValidNumber(number))
        return {};
    return e164;
}

QString CNumberMatcher::IncomingE164(const QString& digits, const QString& typeOfNumber) const
{
    QString s = Clean(digits);
    if (s.startsWith(u'+'))
        return Format(s.mid(1));
    if (!AllDigits(s))
        return {};
    if (typeOfNumber == QLatin1String("1"))
        return Format(s);
    if (typeOfNumber == QLatin1String("2"))
        return m_country.isEmpty() ? QString() : Format(m_country + s);
    if (typeOfNumber == QLatin1String("4"))
        return m_country.isEmpty() ? QString() : Format(m_country + m_rules.areaCode + s);
    return BookE164(s);
}

QStringList CNumberMatcher::WrittenForms(const QString& e164) const
{
    PhoneNumber number;
    if (!e164.startsWith(u'+') || !ParseInternational(e164.mid(1), &number))
        return {};
    std::string nsnText;
    Util().GetNationalSignificantNumber(number, &nsnText);
    const QString nsn = QString::fromStdString(nsnText);
    const QString country = QString::number(number.country_code());
    const QString& ip = m_rules.internationalPrefix;
    const QString& trunk = m_rules.trunkPrefix;

    QStringList forms;
    // International, also with the trunk prefix people write in brackets:
    // +31 (0)30 ...
    for (const QString& prefix : {QStringLiteral("+"), ip}) {
        if (prefix.isEmpty())
            continue;
        forms << prefix + country + nsn;
        if (!trunk.isEmpty())
            forms << prefix + country + trunk + nsn;
    }
    if (country == m_country) {
        if (!trunk.isEmpty())
            forms << trunk + nsn;
        forms << nsn;
        if (!m_rules.areaCode.isEmpty() && nsn.startsWith(m_rules.areaCode) && nsn.size() > m_rules.areaCode.size())
            forms << nsn.mid(m_rules.areaCode.size());
    }
    forms.removeDuplicates();
    return forms;
}

QString CNumberMatcher::ForBook(const QString& written) const
{
    // Up to what no longer belongs to the number: an extension ("x12",
    // ";ext=12"), a pause (","), words.
    QString number;
    for (QChar ch : written.trimmed()) {
        if (!((ch >= u'0' && ch <= u'9') || ch == u'+' || IsSeparator(ch)))
            break;
        number += ch;
    }
    const QString e164 = BookE164(number);
    PhoneNumber parsed;
    // A number that is no valid one (a service number, an internal line)
    // keeps its digits rather than get an area code it never had.
    if (e164.isEmpty() || !ParseInternational(e164.mid(1), &parsed) || !Util().IsValidNumber(parsed)) {
        const QString clean = Clean(number);
        return clean.startsWith(u'+') ? m_rules.internationalPrefix + DigitsOf(clean) : DigitsOf(clean);
    }
    std::string nsn;
    Util().GetNationalSignificantNumber(parsed, &nsn);
    const QString country = QString::number(parsed.country_code());
    if (country == m_country)
        return m_rules.trunkPrefix + QString::fromStdString(nsn);
    return m_rules.internationalPrefix + country + QString::fromStdString(nsn);
}
