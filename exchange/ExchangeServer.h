// Puts the switch on TCP: one listening port per subscriber line; every
// connection on it is one remote-CAPI client of that line.
#pragma once

#include "Switch.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <unordered_map>
#include <unordered_set>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace exchange {

struct ServerOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    // Output a client has not read yet; beyond it the client is dropped.
    qint64 maxQueuedBytes = 1 << 20;
    CallTimeouts timeouts;
    bool verbose = false;
};

class ExchangeServer : public QObject, private Output
{
    Q_OBJECT

public:
    explicit ExchangeServer(const ServerOptions& options, QObject* parent = nullptr);
    ~ExchangeServer() override;

    // Port 0 picks a free port; Port() tells which.
    bool AddLine(const QString& number, quint16 port, QString* error);
    bool AddAnsweringLine(const QString& number, QString* error);
    quint16 Port(const QString& number) const;
    QHostAddress Address() const { return m_options.address; }

    Switch& Core() { return m_switch; }
    size_t Connections() const { return m_sockets.size(); }

private:
    void OnNewConnection(QTcpServer* server, int line);
    void OnReadyRead(ClientId id);
    void OnDisconnected(ClientId id);
    void Close(ClientId id);
    void ArmTimer();
    void Send(ClientId client, std::string_view frame) override;

    ServerOptions m_options;
    Switch m_switch;
    std::vector<std::pair<QString, QTcpServer*>> m_servers;
    std::unordered_map<ClientId, QTcpSocket*> m_sockets;
    std::unordered_set<ClientId> m_overflowing;
    ClientId m_reading = 0;       // the client OnReadyRead() is serving
    bool m_answeredReading = false; // it got output, which carries the ACK
    QTimer m_timer;
    int64_t m_armedFor = -1; // the switch deadline m_timer runs for
};

} // namespace exchange
