#include "DesktopNotifications.h"

#include <QCoreApplication>
#include <QDBusAbstractInterface>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QTimer>

namespace {

const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";
const char kInterface[] = "org.freedesktop.Notifications";
const char kDesktopEntry[] = "zoemlijn";
const char kDefaultAction[] = "default";
// NotificationClosed reasons (freedesktop.org Desktop Notifications 1.2).
constexpr uint kDismissedByUser = 2;
// Services that never report a notification closed would let the record
// grow; the oldest go first.
constexpr size_t kMaxShown = 64;

QString Name(const char* text) { return QString::fromLatin1(text); }

} // namespace

// The service's two signals, as Qt signals a receiver connects to.
class CNotificationsProxy final : public QDBusAbstractInterface
{
    Q_OBJECT

public:
    CNotificationsProxy(const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(Name(kService), Name(kPath), kInterface, bus, parent)
    {
    }

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);
};

CDesktopNotifications::CDesktopNotifications(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus)
{
}

CDesktopNotifications::~CDesktopNotifications() = default;

bool CDesktopNotifications::IsAvailable()
{
    Watch();
    return m_owned || m_activatable;
}

void CDesktopNotifications::Watch()
{
    if (m_watcher || !m_bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(Name(kService), m_bus,
                                        QDBusServiceWatcher::WatchForRegistration |
                                            QDBusServiceWatcher::WatchForUnregistration,
                                        this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_owned = true;
        // Another service may say other things of itself.
        m_askedCapabilities = false;
        AskCapabilities();
    });
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { m_owned = false; });
    m_proxy = new CNotificationsProxy(m_bus, this);
    connect(m_proxy, &CNotificationsProxy::ActionInvoked, this, &CDesktopNotifications::OnActionInvoked);
    connect(m_proxy, &CNotificationsProxy::NotificationClosed, this, &CDesktopNotifications::OnClosed);

    auto ask = [this](const char* method, const QVariantList& arguments, auto take) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                           QStringLiteral("/org/freedesktop/DBus"),
                                                           QStringLiteral("org.freedesktop.DBus"), Name(method));
        call.setArguments(arguments);
        auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [take](QDBusPendingCallWatcher* done) {
            take(*done);
            done->deleteLater();
        });
    };
    ask("NameHasOwner", {Name(kService)}, [this](QDBusPendingCallWatcher& done) {
        const QDBusPendingReply<bool> reply = done;
        if (!reply.isError() && reply.value()) {
            m_owned = true;
            AskCapabilities();
        }
    });
    ask("ListActivatableNames", {}, [this](QDBusPendingCallWatcher& done) {
        const QDBusPendingReply<QStringList> reply = done;
        m_activatable = !reply.isError() && reply.value().contains(Name(kService));
    });
}

void CDesktopNotifications::AskCapabilities()
{
    if (m_askedCapabilities)
        return;
    m_askedCapabilities = true;
    const QDBusMessage call = QDBusMessage::createMethodCall(Name(kService), Name(kPath), Name(kInterface),
                                                             QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<QStringList> reply = *done;
        if (!reply.isError()) {
            m_actions = reply.value().contains(QStringLiteral("actions"));
            m_markup = reply.value().contains(QStringLiteral("body-markup"));
        } else {
            m_askedCapabilities = false;
        }
        done->deleteLater();
    });
}

void CDesktopNotifications::Show(const QString& summary, const QString& body, QObject* context,
                                 std::function<void()> activated, std::function<void()> failed)
{
    QPointer<QObject> guard(context);
    if (!m_bus.isConnected()) {
        if (context && failed)
            QTimer::singleShot(0, context, std::move(failed));
        return;
    }
    Watch();
    AskCapabilities(); // a service started on demand tells once it runs
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), Name(kDesktopEntry));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    QDBusMessage call =
        QDBusMessage::createMethodCall(Name(kService), Name(kPath), Name(kInterface), QStringLiteral("Notify"));
    // Network text is plain text, also where the service reads markup.
    call << QCoreApplication::applicationName() << uint(0) << Name(kDesktopEntry) << summary
         << (m_markup ? body.toHtmlEscaped() : body) << QStringList{Name(kDefaultAction), QStringLiteral("Openen")}
         << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, guard, activated = std::move(activated), failed = std::move(failed)](QDBusPendingCallWatcher* done) {
                const QDBusPendingReply<uint> reply = *done;
                done->deleteLater();
                if (reply.isError()) {
                    if (guard && failed)
                        failed();
                    return;
                }
                if (m_shown.size() >= kMaxShown)
                    m_shown.erase(m_shown.begin());
                m_shown[reply.value()] = {guard, activated};
            });
}

void CDesktopNotifications::OnActionInvoked(uint id, const QString& action)
{
    if (action == QLatin1String(kDefaultAction))
        Activate(id);
}

void CDesktopNotifications::OnClosed(uint id, uint reason)
{
    // A service without actions closes a clicked notification instead.
    if (reason == kDismissedByUser && !m_actions)
        Activate(id);
    m_shown.erase(id);
}

void CDesktopNotifications::Activate(uint id)
{
    const auto it = m_shown.find(id);
    if (it == m_shown.end())
        return;
    const Shown shown = it->second;
    m_shown.erase(it);
    if (shown.context && shown.activated)
        shown.activated();
}

#include "DesktopNotifications.moc"
