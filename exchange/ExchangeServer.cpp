#include "ExchangeServer.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

namespace exchange {

namespace {
constexpr qint64 kReadChunk = 64 * 1024;
}

ExchangeServer::ExchangeServer(const ServerOptions& options, QObject* parent)
    : QObject(parent), m_options(options), m_switch(*this)
{
    if (options.verbose)
        m_switch.SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
}

ExchangeServer::~ExchangeServer()
{
    // The switch goes after this body; keep it from writing to dying sockets.
    for (auto& [id, socket] : m_sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
    m_sockets.clear();
}

bool ExchangeServer::AddLine(const QString& number, quint16 port, QString* error)
{
    const int line = m_switch.AddLine(number.toStdString());
    if (line == Switch::kNoLine) {
        *error = QStringLiteral("invalid or duplicate number %1").arg(number);
        return false;
    }
    auto* server = new QTcpServer(this);
    if (!server->listen(m_options.address, port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(port)
                     .arg(server->errorString());
        return false;
    }
    connect(server, &QTcpServer::newConnection, this, [this, server, line] { OnNewConnection(server, line); });
    m_servers.emplace_back(number, server);
    return true;
}

bool ExchangeServer::AddAnsweringLine(const QString& number, QString* error)
{
    if (m_switch.AddAnsweringLine(number.toStdString()) == Switch::kNoLine) {
        *error = QStringLiteral("invalid or duplicate number %1").arg(number);
        return false;
    }
    return true;
}

quint16 ExchangeServer::Port(const QString& number) const
{
    for (const auto& [n, server] : m_servers)
        if (n == number)
            return server->serverPort();
    return 0;
}

void ExchangeServer::OnNewConnection(QTcpServer* server, int line)
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        socket->setParent(nullptr);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const ClientId id = m_switch.Attach(line);
        m_sockets.emplace(id, socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { OnReadyRead(id); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { OnDisconnected(id); });
        if (socket->bytesAvailable() > 0)
            OnReadyRead(id);
    }
}

void ExchangeServer::OnReadyRead(ClientId id)
{
    auto it = m_sockets.find(id);
    if (it == m_sockets.end())
        return;
    QTcpSocket* socket = it->second;
    char buf[kReadChunk];
    while (socket->bytesAvailable() > 0) {
        const qint64 n = socket->read(buf, sizeof buf);
        if (n <= 0)
            break;
        if (!m_switch.Feed(id, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n))) {
            Close(id);
            return;
        }
        if (m_overflowing.count(id))
            break;
    }
}

void ExchangeServer::OnDisconnected(ClientId id)
{
    m_switch.Detach(id);
    Close(id);
}

// The switch has already let go of the client (or is told here).
void ExchangeServer::Close(ClientId id)
{
    m_overflowing.erase(id);
    auto it = m_sockets.find(id);
    if (it == m_sockets.end())
        return;
    QTcpSocket* socket = it->second;
    m_sockets.erase(it);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_switch.Detach(id);
}

void ExchangeServer::Send(ClientId client, std::string_view frame)
{
    auto it = m_sockets.find(client);
    if (it == m_sockets.end() || m_overflowing.count(client))
        return;
    QTcpSocket* socket = it->second;
    if (socket->bytesToWrite() + static_cast<qint64>(frame.size()) > m_options.maxQueuedBytes) {
        // A client that stops reading must not hold the exchange's memory.
        // Dropping it changes the switch, so not while the switch is busy.
        m_overflowing.insert(client);
        if (m_options.verbose)
            std::fprintf(stderr, "c%llu stopped reading, closing\n", static_cast<unsigned long long>(client));
        QMetaObject::invokeMethod(this, [this, client] { Close(client); }, Qt::QueuedConnection);
        return;
    }
    socket->write(frame.data(), static_cast<qint64>(frame.size()));
}

} // namespace exchange
