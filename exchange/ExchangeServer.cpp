#include "ExchangeServer.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace exchange {

namespace {
constexpr qint64 kReadChunk = 64 * 1024;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Linux delays the ACK of what it reads by up to 40 ms, hoping to send it
// with an answer. A CAPI client that leaves Nagle on (libcapi20 does) then
// holds its next message until that ACK comes: a CONNECT_REQ after a
// DISCONNECT_RESP, which the exchange does not answer, waits 40 ms. The
// kernel drops quick-ACK mode again by itself, so it is set after every read
// that the exchange does not answer (an answer, sent on the next turn of the
// event loop, carries the ACK).
void AckNow(QTcpSocket* socket)
{
#ifdef TCP_QUICKACK
    const int one = 1;
    setsockopt(static_cast<int>(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    Q_UNUSED(socket);
#endif
}
} // namespace

ExchangeServer::ExchangeServer(const ServerOptions& options, QObject* parent)
    : QObject(parent), m_options(options), m_switch(*this)
{
    if (options.verbose)
        m_switch.SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    m_switch.SetTimeouts(options.timeouts);
    m_switch.SetClock(NowMs);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_armedFor = -1;
        m_switch.Expire();
        ArmTimer();
    });
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
        // Each frame goes out as it is made: no waiting for the ACK of the last.
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
    m_reading = id;
    m_answeredReading = false;
    char buf[kReadChunk];
    while (socket->bytesAvailable() > 0) {
        const qint64 n = socket->read(buf, sizeof buf);
        if (n <= 0)
            break;
        if (!m_switch.Feed(id, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n))) {
            m_reading = 0;
            Close(id);
            return;
        }
        if (m_overflowing.count(id))
            break;
    }
    if (!m_answeredReading)
        AckNow(socket);
    m_reading = 0;
    ArmTimer();
}

// One timer for the whole switch, run for its earliest deadline.
void ExchangeServer::ArmTimer()
{
    const int64_t deadline = m_switch.NextDeadline();
    if (deadline == m_armedFor)
        return;
    m_armedFor = deadline;
    if (deadline < 0) {
        m_timer.stop();
        return;
    }
    const int64_t wait = std::max<int64_t>(deadline - NowMs(), 0);
    m_timer.start(static_cast<int>(std::min<int64_t>(wait, std::numeric_limits<int>::max())));
}

void ExchangeServer::OnDisconnected(ClientId id)
{
    m_switch.Detach(id);
    Close(id);
    ArmTimer();
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
    ArmTimer();
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
    if (client == m_reading)
        m_answeredReading = true;
    socket->write(frame.data(), static_cast<qint64>(frame.size()));
}

} // namespace exchange
