// zoemlijn-cli's way to the running window: the window's D-Bus interface on
// the session bus, for watch and send --window.
#pragma once

#include "ZoemlijnProxy.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>

#include <functional>
#include <optional>

class CWindowClient final : public QObject
{
    Q_OBJECT

public:
    CWindowClient();

    // Nothing when a window answers on the session bus, else why not.
    std::optional<QString> Unreachable() const;

    // The window's interface: its signals, once connected to, come from
    // whichever copy holds the name, also after a restart.
    CZoemlijnProxy& Window() { return m_proxy; }

    // Sends through the window; `done` runs from the event loop with
    // nothing when the window took the text, else what it said.
    void Send(const QString& number, const QString& text, int timeoutMs,
              std::function<void(const std::optional<QString>&)> done);

signals:
    // The window left the bus, or came back.
    void WindowGone();
    void WindowBack();

private:
    QDBusConnection m_bus;
    CZoemlijnProxy m_proxy;
    QDBusServiceWatcher m_watcher;
};
