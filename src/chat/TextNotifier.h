// Desktop notifications of received texts instead of the window ("Notifications"
// in "Extra"), through the platform's notification service.
#pragma once

#include "ReceivedText.h"

#include <QObject>

class CTextNotifier final : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // "Notifications" is on; read at each call.
    static bool IsOn();
    // On, and a notification service there to take them.
    static bool CanNotify();
    // When on: starts watching for the service, so that it is known by the
    // time the first text comes.
    static void Prepare();

    // Shows `text`: the caller's name (or else the number) over the text.
    void Notify(const ReceivedText& text);
    static QString Summary(const ReceivedText& text);

signals:
    // The user clicked a notification.
    void Activated();
    // A notification could not be shown after all.
    void Failed();
};
