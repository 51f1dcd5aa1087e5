// Puts the switch on TCP: one listening port per subscriber line; every
// connection on it is one remote-CAPI client of that line.
#pragma once

#include "Switch.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QSocketNotifier;

namespace exchange {

// An address with its prefix length: 192.168.1.0/24.
using Subnet = QPair<QHostAddress, int>;

struct ServerOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    // Output a client has not read yet; beyond it the client is dropped.
    qint64 maxQueuedBytes = 1 << 20;
    CallTimeouts timeouts;
    SwitchLimits limits;
    // Connections in all, lowered to what the open-files limit leaves room for.
    int maxConnections = 512;
    // Connections on one line's port.
    int lineConnections = 64;
    // A connection that neither registers nor asks a management request
    // within this time is closed.
    int64_t registerTimeoutMs = 10000;
    // Peers let in besides loopback; the others are closed unread.
    QList<Subnet> allow;
    bool verbose = false;
    // Where notices (and the --verbose lines) go; stderr when unset.
    std::function<void(const std::string&)> log;
    // accept(2) on a listening socket; tests make it fail.
    std::function<int(int listenFd)> accept;
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
    size_t Connections() const { return m_conns.size(); }
    // Connections refused: not allowed, or beyond a limit.
    size_t Refused() const { return m_refused; }
    // The total connection limit in force.
    int MaxConnections() const;
    bool Allowed(const QHostAddress& peer) const;

private:
    struct Listener;
    // The socket is driven here, not through QTcpSocket: each frame read
    // straight into the switch, and what the switch answers in one turn
    // sent with one send() per connection, without a posted event each.
    struct Conn
    {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> reader;
        std::unique_ptr<QSocketNotifier> writer; // on while `out` waits for room
        std::string out;                         // frames not yet sent
        bool dirty = false;                      // has output to send at the end of the turn
        int line = Switch::kNoLine;
        std::string peer;
        int64_t since = 0;
        int64_t deadline = 0; // to register or speak
        bool identified = false;
        ClientId claimedBy = 0; // the registration whose management connection this is
        ClientId claims = 0;    // and the other way round
    };

    void OnAcceptable(Listener& l);
    void BackOff(Listener& l, int error);
    void Admit(Listener& l, int fd);
    void Refuse(int fd, const char* why, bool& noticed);
    void OnReadable(ClientId id);
    void Flush(ClientId id, Conn& conn);
    // Output gathered while the switch works goes out when the last of
    // these ends.
    class Batch;
    void NoteIdentified(ClientId id, Conn& conn);
    void Watch(ClientId id, Conn& conn);
    void ExpireIdle();
    void Close(ClientId id);
    void ArmTimer();
    void Notice(const std::string& line) const;
    void Send(ClientId client, std::string_view frame) override;

    ServerOptions m_options;
    Switch m_switch;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::unordered_map<ClientId, Conn> m_conns;
    std::vector<int> m_lineConns; // per switch line
    std::unordered_set<ClientId> m_overflowing;
    // (deadline, client) of connections yet to speak, oldest first: every
    // deadline is its start plus one fixed time, so the queue stays sorted.
    std::deque<std::pair<int64_t, ClientId>> m_idle;
    QTimer m_idleTimer;
    size_t m_refused = 0;
    bool m_noticedTotal = false;
    bool m_noticedLine = false;
    bool m_noticedStranger = false; // the first is told; the rest with --verbose
    int m_fdLimit = 0;
    int m_batch = 0;                // Batch depth
    std::vector<ClientId> m_dirty;  // connections with output to send
    ClientId m_reading = 0;         // the client OnReadable() is serving
    bool m_answeredReading = false; // it got output, which carries the ACK
    QTimer m_timer;
    int64_t m_armedFor = -1; // the switch deadline m_timer runs for
};

// The warning for a listening address beyond loopback; empty for loopback.
QString ExposureWarning(const QHostAddress& address);

} // namespace exchange
