// The desktop's notification service, org.freedesktop.Notifications, on one
// bus: watched for, asked to show notifications, and heard when one is
// clicked. Every call to the bus is asynchronous: the caller's thread never
// waits for the service.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>

#include <functional>
#include <map>

class CNotificationsProxy;
class QDBusServiceWatcher;

class CDesktopNotifications final : public QObject
{
    Q_OBJECT

public:
    explicit CDesktopNotifications(const QDBusConnection& bus, QObject* parent = nullptr);
    ~CDesktopNotifications() override;

    // The service runs, or the bus starts it on demand; as last heard. The
    // first question starts the watch and says no until the bus answered.
    bool IsAvailable();
    // As CPlatform::ShowNotification.
    void Show(const QString& summary, const QString& body, QObject* context, std::function<void()> activated,
              std::function<void()> failed);

    // Notifications shown and not yet clicked or closed.
    int Open() const { return int(m_shown.size()); }

private:
    void Watch();
    void AskCapabilities();
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);
    void Activate(uint id);

    struct Shown
    {
        QPointer<QObject> context;
        std::function<void()> activated;
    };

    QDBusConnection m_bus;
    CNotificationsProxy* m_proxy = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_owned = false;       // a process holds the name
    bool m_activatable = false; // the bus starts one on demand
    bool m_askedCapabilities = false;
    // Until the service says otherwise: clicks come as the "default" action,
    // and the body is read as markup (most services do both).
    bool m_actions = true;
    bool m_markup = true;
    std::map<uint, Shown> m_shown; // by the service's id
};
