// Address books as CSV (RFC 4180): the layout Google Contacts exports
// (Name or First/Middle/Last Name, "Phone 1 - Value" ...) and the one of
// Outlook and Thunderbird (First Name, Last Name or Display Name, one
// column per kind of telephone), both by their column headings, in English
// or Dutch. Out: the Google layout.
#pragma once

#include "Contact.h"
#include "NumberMatcher.h"
#include "PhoneBookFile.h"

#include <QList>

class CContactsCsv
{
public:
    // The rows of RFC 4180 text: fields between commas (or semicolons, when
    // the first line holds more of those), quoted with double quotes, ""
    // for a quote, line breaks inside quotes kept.
    static QList<QStringList> ParseRows(const QString& text);

    // One contact per row that has a name or a number; `recognised` is
    // false when the first row names no telephone column.
    static QList<Contact> Read(const QByteArray& bytes, bool* recognised = nullptr);

    // The Google layout, UTF-8 with CR LF: one row per record that has a
    // number, valid numbers in E.164 form, others as written.
    static QByteArray Write(const QList<PhoneBookRecord>& records, const CNumberMatcher& matcher, int* written = nullptr);
};
