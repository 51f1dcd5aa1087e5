#include "PhoneBookLookup.h"

#include "PhoneBookIndex.h"

PhoneBookEntry LookupCaller(const QString& key, const QString& callingNumber, const QString& typeOfNumber)
{
    return LookupCaller(key, callingNumber, typeOfNumber, NumberRules::FromSettings());
}

PhoneBookEntry LookupCaller(const QString& key, const QString& callingNumber, const QString& typeOfNumber,
                            const NumberRules& rules)
{
    recordfile::ReadStatus status;
    const auto index = CPhoneBookIndex::ForFile(QString::fromLatin1(kPhoneBookFileName), &status);
    if (!index)
        return {LookupResult::FileMissing, {}, {}, {}};
    int found = index->FindExact(key);
    if (found < 0 && rules.enabled) {
        const CNumberMatcher matcher(rules);
        const QString e164 = matcher.IncomingE164(callingNumber, typeOfNumber);
        // Each way the number may have been written that the rule reading
        // the book's numbers takes back to it, so both sides agree.
        QStringList forms;
        for (const QString& form : matcher.WrittenForms(e164))
            if (matcher.BookE164(form) == e164)
                forms << form;
        if (!forms.isEmpty())
            found = index->FindCleanNumber(forms);
    }
    if (found < 0)
        return {};
    const PhoneBookRecord record = index->Record(found);
    return {LookupResult::Found, record.name, record.action, record.path};
}
