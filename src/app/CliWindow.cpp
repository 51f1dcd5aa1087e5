#include "CliWindow.h"

#include "ZoemlijnBus.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>

using namespace zoemlijnbus;

CWindowClient::CWindowClient()
    : m_bus(QDBusConnection::sessionBus()),
      m_proxy(QString::fromLatin1(kService), QString::fromLatin1(kPath), m_bus),
      m_watcher(QString::fromLatin1(kService), m_bus, QDBusServiceWatcher::WatchForOwnerChange)
{
    connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                if (newOwner.isEmpty())
                    emit WindowGone();
                else
                    emit WindowBack();
            });
}

std::optional<QString> CWindowClient::Unreachable() const
{
    if (!m_bus.isConnected())
        return QStringLiteral("geen D-Bus-sessiebus, dus geen Zoemlijn-venster te bereiken");
    // A call to the bus itself: the match rules of the signals connected
    // before are in force once it returns.
    const QDBusReply<bool> registered = m_bus.interface()->isServiceRegistered(QString::fromLatin1(kService));
    if (!registered.isValid())
        return QStringLiteral("de sessiebus antwoordt niet: ") + registered.error().message();
    if (!registered.value())
        return QStringLiteral("er draait geen Zoemlijn-venster (niemand heeft %1 op de sessiebus)")
            .arg(QString::fromLatin1(kService));
    return std::nullopt;
}

void CWindowClient::Send(const QString& number, const QString& text, int timeoutMs,
                         std::function<void(const std::optional<QString>&)> done)
{
    m_proxy.setTimeout(timeoutMs);
    auto* watcher = new QDBusPendingCallWatcher(m_proxy.Send(number, text), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusError error = call->error();
                if (!call->isError())
                    done(std::nullopt);
                else if (error.name() == QLatin1String(kErrorRefused) ||
                         error.name() == QLatin1String(kErrorInvalidArgs))
                    done(error.message()); // the window's own words
                else
                    done(QStringLiteral("het venster gaf geen antwoord: ") + error.message());
            });
}
