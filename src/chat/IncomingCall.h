// What an incoming text becomes: the numbers as shown and looked up, the
// caller's line, the call-list row and the caller's action.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

inline constexpr char kNotInPhoneBook[] = "niet in tel.boek";

struct CallNumbers
{
    QString calledNumberText; // the own number as shown
    QString key;              // the caller: shown, looked up, listed
};

// With "AddZero" on, both numbers get a "0" in front, unchecked: a number
// that starts with 0 already gets a second one.
CallNumbers PrepareNumbers(bool addZero, const QString& calledNumber, const QString& callingNumber);

// The caller field: the name (empty when unknown), " / " and the key.
QString CallerText(const QString& name, const QString& key);

// A new call-list row, in column order.
QStringList MakeCallRow(const QString& key, const QString& name, const QString& callText,
                        const QString& calledNumberText, const QDateTime& when, const QString& callTypeText);

// Silent: listed and logged, but no window, sound, program or message.
enum class CallerAction { None, PlaySound, OpenWithDesktop, ShowMessage, Silent };

// By the action text of the phone-book entry, compared whole and
// case-sensitively; anything else runs nothing.
CallerAction ActionFor(const QString& actionText);
