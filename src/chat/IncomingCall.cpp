#include "IncomingCall.h"

#include "CallList.h"
#include "PhoneBookFile.h"

CallNumbers PrepareNumbers(bool addZero, const QString& calledNumber, const QString& callingNumber)
{
    if (!addZero)
        return {calledNumber, callingNumber};
    return {u'0' + calledNumber, u'0' + callingNumber};
}

QString CallerText(const QString& name, const QString& key) { return name + QStringLiteral(" / ") + key; }

QStringList MakeCallRow(const QString& key, const QString& name, const QString& callText,
                        const QString& calledNumberText, const QDateTime& when, const QString& callTypeText)
{
    QStringList row(kCallListColumns);
    row[ColCaller] = key;
    row[ColName] = name.isEmpty() ? QString::fromLatin1(kNotInPhoneBook) : name;
    row[ColText] = callText;
    row[ColOwnNumber] = calledNumberText;
    row[ColDate] = FormatCallDate(when.date());
    row[ColTime] = FormatCallTime(when.time());
    row[ColCallType] = callTypeText;
    return row;
}

CallerAction ActionFor(const QString& actionText)
{
    if (actionText == QLatin1String(kActionWavFile))
        return CallerAction::PlaySound;
    if (actionText == QLatin1String(kActionProgram))
        return CallerAction::OpenWithDesktop;
    if (actionText == QLatin1String(kActionMsAccess))
        return CallerAction::ShowMessage;
    if (actionText == QLatin1String(kActionSilent))
        return CallerAction::Silent;
    return CallerAction::None;
}
