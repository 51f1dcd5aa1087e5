// A received text as the window hands it on, once it is listed and logged:
// to the desktop notification, the text hook and whoever listens for it.
#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

struct ReceivedText
{
    QString number;       // the caller as shown, looked up and listed ("AddZero" applied)
    QString name;         // from the phone book; empty when the caller is not in it
    QString text;         // as logged: control characters as blanks
    QString calledNumber; // the own number as shown
    QString callType;
    QDateTime time;       // as listed
};

Q_DECLARE_METATYPE(ReceivedText)
