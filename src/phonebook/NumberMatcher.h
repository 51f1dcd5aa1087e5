// Telephone numbers in the forms people and networks write them: +31 30
// 123 4567, 0031301234567, 030-1234567, 301234567, or 1234567 within the
// own area. They are compared in E.164 form ("+31301234567"), which
// libphonenumber parses and formats; the user's own prefixes come from the
// settings.
#pragma once

#include <QString>
#include <QStringList>

// The "Extra" settings that say how the user writes numbers.
struct NumberRules
{
    bool enabled = false; // "NumberFormats"
    unsigned countryCode = 31;
    QString areaCode;                     // digits, without the trunk prefix
    QString internationalPrefix = QStringLiteral("00");
    QString trunkPrefix = QStringLiteral("0");

    // As stored now: read at each use, never kept.
    static NumberRules FromSettings();
};

// The type of number of an ISDN Calling party number (Q.931), as the link
// gives it: one digit, or empty when the call had no number.
enum class TypeOfNumber { Unknown = 0, International = 1, National = 2, Subscriber = 4 };

class CNumberMatcher
{
public:
    explicit CNumberMatcher(const NumberRules& rules);

    // Without blanks, dashes, dots, brackets and slashes.
    static QString Clean(const QString& written);
    static bool IsSeparator(QChar ch);

    // "+" and the digits, or empty when `written` is no telephone number.
    // A bare number (no prefix) is taken as national when it is a valid
    // number of the own country, and as one within the own area otherwise.
    QString BookE164(const QString& written) const;
    // BookE164 of a number libphonenumber holds valid; empty otherwise.
    QString ValidE164(const QString& written) const;
    // The number as the network delivered it: international, national and
    // subscriber numbers by their type; any other type as a user writes.
    QString IncomingE164(const QString& digits, const QString& typeOfNumber) const;
    // Every cleaned form in which a user may have written `e164`, so a book
    // indexed by its cleaned numbers can be asked for each.
    QStringList WrittenForms(const QString& e164) const;
    // As the own phone book keeps a number: the trunk prefix and the number
    // within the own country, the international prefix and the number
    // otherwise, digits only. What libphonenumber cannot parse keeps its
    // digits, a leading "+" becoming the international prefix.
    QString ForBook(const QString& written) const;

private:
    QString Format(const QString& international) const;

    NumberRules m_rules;
    QString m_country; // the country code's digits
};
