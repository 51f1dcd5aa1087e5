#include "TextNotifier.h"

#include "Platform.h"
#include "SettingsStore.h"

bool CTextNotifier::IsOn() { return ReadExtraInt(Extra::Notifications) != 0; }

bool CTextNotifier::CanNotify() { return IsOn() && CPlatform::Instance().HasNotificationService(); }

void CTextNotifier::Prepare()
{
    if (IsOn())
        CPlatform::Instance().HasNotificationService();
}

QString CTextNotifier::Summary(const ReceivedText& text) { return text.name.isEmpty() ? text.number : text.name; }

void CTextNotifier::Notify(const ReceivedText& text)
{
    CPlatform::Instance().ShowNotification(
        Summary(text), text.text, this, [this] { emit Activated(); }, [this] { emit Failed(); });
}
