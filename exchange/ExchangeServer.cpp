#include "ExchangeServer.h"

#include "Clock.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace exchange {

namespace {
constexpr qint64 kReadChunk = 64 * 1024;
// Descriptors kept back from the connection limit: stdio, the pcap, Qt's own.
constexpr int kReservedFds = 32;
// Connections taken per wake-up of one port, so that a flood on one port
// does not starve the rest.
constexpr int kAcceptBatch = 64;
// Back-off after a failed accept: the connection stays in the backlog, and
// polling on at once would spin.
constexpr int kFirstBackOffMs = 50;
constexpr int kMaxBackOffMs = 1000;
constexpr int kListenBacklog = 128;

// Linux delays the ACK of what it reads by up to 40 ms, hoping to send it
// with an answer. A CAPI client that leaves Nagle on (libcapi20 does) then
// holds its next message until that ACK comes: a CONNECT_REQ after a
// DISCONNECT_RESP, which the exchange does not answer, waits 40 ms. The
// kernel drops quick-ACK mode again by itself, so it is set after every read
// that the exchange does not answer (an answer, sent on the next turn of the
// event loop, carries the ACK).
void AckNow(int fd)
{
#ifdef TCP_QUICKACK
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    Q_UNUSED(fd);
#endif
}

// A notifier may be the one whose signal runs now: it goes on the next turn.
void Retire(std::unique_ptr<QSocketNotifier>& notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier.release()->deleteLater();
}

// An IPv4 peer on a dual-stack socket shows as ::ffff:a.b.c.d.
QHostAddress Plain(const QHostAddress& address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : address;
}

bool ToSockaddr(const QHostAddress& address, quint16 port, sockaddr_storage& ss, socklen_t& len)
{
    std::memset(&ss, 0, sizeof ss);
    if (address == QHostAddress(QHostAddress::Any) || address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        if (address != QHostAddress(QHostAddress::Any)) {
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&sin6->sin6_addr, bytes.c, sizeof bytes.c);
            sin6->sin6_scope_id = address.scopeId().toUInt();
        }
        len = sizeof *sin6;
        return true;
    }
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    if (!ok)
        return false;
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = htonl(v4);
    len = sizeof *sin;
    return true;
}

int DefaultAccept(int fd) { return accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
} // namespace

class ExchangeServer::Batch
{
public:
    explicit Batch(ExchangeServer& server) : m_server(server) { ++m_server.m_batch; }
    ~Batch()
    {
        if (--m_server.m_batch > 0)
            return;
        // Flushing may close a connection, whose clearing adds output: loop.
        ++m_server.m_batch;
        while (!m_server.m_dirty.empty()) {
            std::vector<ClientId> dirty;
            dirty.swap(m_server.m_dirty);
            for (ClientId id : dirty) {
                auto it = m_server.m_conns.find(id);
                if (it != m_server.m_conns.end())
                    m_server.Flush(id, it->second);
            }
        }
        --m_server.m_batch;
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

private:
    ExchangeServer& m_server;
};

struct ExchangeServer::Listener
{
    QString number;
    int line = Switch::kNoLine;
    int fd = -1;
    quint16 port = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    QTimer backOff;
    int backOffMs = 0;
    bool failing = false; // told once per run of failures

    ~Listener()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
};

ExchangeServer::ExchangeServer(const ServerOptions& options, QObject* parent)
    : QObject(parent), m_options(options), m_switch(*this)
{
    if (!m_options.accept)
        m_options.accept = DefaultAccept;
    if (options.verbose)
        m_switch.SetLog([this](const std::string& line) { Notice(line); });
    m_switch.SetTimeouts(options.timeouts);
    m_switch.SetLimits(options.limits);
    m_switch.SetClock(NowMs);
    rlimit files{};
    m_fdLimit = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                    ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, std::numeric_limits<int>::max()))
                    : std::numeric_limits<int>::max();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const Batch batch(*this);
        m_armedFor = -1;
        m_switch.Expire();
        ArmTimer();
    });
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &ExchangeServer::ExpireIdle);
}

ExchangeServer::~ExchangeServer()
{
    // The switch goes after this body; keep it from writing to closed sockets.
    for (auto& [id, conn] : m_conns) {
        conn.reader.reset();
        conn.writer.reset();
        ::close(conn.fd);
    }
    m_conns.clear();
}

int ExchangeServer::MaxConnections() const
{
    const int room = m_fdLimit - kReservedFds - static_cast<int>(m_listeners.size());
    return std::max(0, std::min(m_options.maxConnections, room));
}

bool ExchangeServer::Allowed(const QHostAddress& peer) const
{
    const QHostAddress plain = Plain(peer);
    if (plain.isLoopback())
        return true;
    return std::any_of(m_options.allow.begin(), m_options.allow.end(),
                       [&](const Subnet& net) { return plain.isInSubnet(Plain(net.first), net.second); });
}

bool ExchangeServer::AddLine(const QString& number, quint16 port, QString* error)
{
    const int line = m_switch.AddLine(number.toStdString());
    if (line == Switch::kNoLine) {
        *error = QStringLiteral("invalid or duplicate number %1").arg(number);
        return false;
    }
    auto fail = [&](int err) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(port)
                     .arg(QString::fromLocal8Bit(std::strerror(err)));
        return false;
    };
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToSockaddr(m_options.address, port, ss, len))
        return fail(EAFNOSUPPORT);
    auto l = std::make_unique<Listener>();
    l->number = number;
    l->line = line;
    l->fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (l->fd < 0)
        return fail(errno);
    const int one = 1, zero = 0;
    setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ss.ss_family == AF_INET6 && m_options.address == QHostAddress(QHostAddress::Any))
        setsockopt(l->fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(l->fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(l->fd, kListenBacklog) != 0)
        return fail(errno);
    len = sizeof ss;
    getsockname(l->fd, reinterpret_cast<sockaddr*>(&ss), &len);
    l->port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    l->notifier = std::make_unique<QSocketNotifier>(l->fd, QSocketNotifier::Read);
    Listener* raw = l.get();
    connect(l->notifier.get(), &QSocketNotifier::activated, this, [this, raw] { OnAcceptable(*raw); });
    l->backOff.setSingleShot(true);
    connect(&l->backOff, &QTimer::timeout, this, [raw] { raw->notifier->setEnabled(true); });
    m_listeners.push_back(std::move(l));
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
    for (const auto& l : m_listeners)
        if (l->number == number)
            return l->port;
    return 0;
}

void ExchangeServer::OnAcceptable(Listener& l)
{
    for (int i = 0; i < kAcceptBatch; ++i) {
        const int fd = m_options.accept(l.fd);
        if (fd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue;
            // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM)
            // or worse: the port stays readable, so wait before trying again.
            return BackOff(l, error);
        }
        if (l.failing) {
            l.failing = false;
            Notice("isdn-exchange: accepting on port " + std::to_string(l.port) + " again");
        }
        l.backOffMs = 0;
        Admit(l, fd);
    }
}

void ExchangeServer::BackOff(Listener& l, int error)
{
    l.notifier->setEnabled(false);
    l.backOffMs = l.backOffMs == 0 ? kFirstBackOffMs : std::min(2 * l.backOffMs, kMaxBackOffMs);
    l.backOff.start(l.backOffMs);
    if (!l.failing) {
        l.failing = true;
        Notice("isdn-exchange: accept on port " + std::to_string(l.port) + " failed: " + std::strerror(error) +
               "; trying again in up to " + std::to_string(kMaxBackOffMs) + " ms");
    }
}

// Closed before a single octet is read.
void ExchangeServer::Refuse(int fd, const char* why, bool& noticed)
{
    ::close(fd);
    ++m_refused;
    if (m_options.verbose || !noticed)
        Notice(std::string("isdn-exchange: refusing connections: ") + why);
    noticed = true;
}

void ExchangeServer::Admit(Listener& l, int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    QHostAddress peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
        peer = Plain(QHostAddress(reinterpret_cast<const sockaddr*>(&ss)));
    if (!Allowed(peer)) {
        Refuse(fd, ("not allowed: " + peer.toString().toStdString()).c_str(), m_noticedStranger);
        return;
    }
    if (static_cast<int>(m_conns.size()) >= MaxConnections()) {
        Refuse(fd, ("all " + std::to_string(MaxConnections()) + " connections in use").c_str(), m_noticedTotal);
        return;
    }
    if (m_lineConns.size() < static_cast<size_t>(m_switch.LineCount()))
        m_lineConns.resize(static_cast<size_t>(m_switch.LineCount()), 0);
    if (m_lineConns[l.line] >= m_options.lineConnections) {
        Refuse(fd,
               ("all " + std::to_string(m_options.lineConnections) + " connections of line " +
                l.number.toStdString() + " in use")
                   .c_str(),
               m_noticedLine);
        return;
    }
    m_noticedTotal = m_noticedLine = false;
    // Each frame goes out as it is made: no waiting for the ACK of the last.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string address = peer.toString().toStdString();
    const ClientId id = m_switch.Attach(l.line, address);
    Conn& conn = m_conns[id];
    conn.fd = fd;
    conn.line = l.line;
    conn.peer = address;
    conn.since = NowMs();
    conn.reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    conn.writer = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    conn.writer->setEnabled(false);
    connect(conn.reader.get(), &QSocketNotifier::activated, this, [this, id] { OnReadable(id); });
    connect(conn.writer.get(), &QSocketNotifier::activated, this, [this, id] {
        const Batch batch(*this);
        auto it = m_conns.find(id);
        if (it != m_conns.end())
            Flush(id, it->second);
    });
    ++m_lineConns[l.line];
    Watch(id, conn);
}

void ExchangeServer::Watch(ClientId id, Conn& conn)
{
    conn.deadline = NowMs() + m_options.registerTimeoutMs;
    m_idle.emplace_back(conn.deadline, id);
    if (!m_idleTimer.isActive())
        m_idleTimer.start(static_cast<int>(std::min<int64_t>(m_options.registerTimeoutMs, INT32_MAX)));
}

void ExchangeServer::ExpireIdle()
{
    const int64_t now = NowMs();
    while (!m_idle.empty() && m_idle.front().first <= now) {
        const auto [deadline, id] = m_idle.front();
        m_idle.pop_front();
        auto it = m_conns.find(id);
        if (it == m_conns.end() || it->second.identified || it->second.claimedBy || it->second.deadline != deadline)
            continue;
        if (m_options.verbose)
            Notice("c" + std::to_string(id) + " never registered, closing");
        Close(id);
    }
    if (!m_idle.empty())
        m_idleTimer.start(static_cast<int>(std::min<int64_t>(m_idle.front().first - now, INT32_MAX)));
}

// libcapi20 opens its management connection before it registers, and may
// never send a word on it; when it then finds it closed, it does not open it
// again. So a registration vouches for one silent connection from its
// address on its line, opened before it: the latest such.
void ExchangeServer::NoteIdentified(ClientId id, Conn& conn)
{
    conn.identified = true;
    if (!m_switch.Registered(id))
        return;
    ClientId best = 0;
    int64_t bestSince = -1;
    for (auto& [other, c] : m_conns)
        if (other != id && !c.identified && !c.claimedBy && c.line == conn.line && c.peer == conn.peer &&
            c.since <= conn.since && c.since > bestSince) {
            best = other;
            bestSince = c.since;
        }
    if (!best)
        return;
    m_conns[best].claimedBy = id;
    conn.claims = best;
}

void ExchangeServer::OnReadable(ClientId id)
{
    const Batch batch(*this);
    auto it = m_conns.find(id);
    if (it == m_conns.end())
        return;
    const int fd = it->second.fd;
    m_reading = id;
    m_answeredReading = false;
    char buf[kReadChunk];
    // What is there now; more wakes the notifier again, after the others.
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        m_reading = 0;
        return Close(id); // gone: libcapi20 releases by closing
    }
    if (n > 0 && !m_switch.Feed(id, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n))) {
        m_reading = 0;
        return Close(id);
    }
    if (!m_answeredReading)
        AckNow(fd);
    m_reading = 0;
    it = m_conns.find(id);
    if (it != m_conns.end() && !it->second.identified && m_switch.Identified(id))
        NoteIdentified(id, it->second);
    ArmTimer();
}

void ExchangeServer::Flush(ClientId id, Conn& conn)
{
    conn.dirty = false;
    size_t done = 0;
    while (done < conn.out.size()) {
        const ssize_t n = send(conn.fd, conn.out.data() + done, conn.out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // The peer is gone; reading finds out and closes.
        conn.out.clear();
        done = 0;
        break;
    }
    conn.out.erase(0, done);
    if (conn.writer)
        conn.writer->setEnabled(!conn.out.empty());
    Q_UNUSED(id);
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

// The switch may have let go of the client already; it is told here too.
void ExchangeServer::Close(ClientId id)
{
    const Batch batch(*this);
    m_overflowing.erase(id);
    auto it = m_conns.find(id);
    if (it == m_conns.end())
        return;
    Conn conn = std::move(it->second);
    m_conns.erase(it);
    --m_lineConns[conn.line];
    // A management connection whose registration went is on its own again.
    auto claimed = m_conns.find(conn.claims);
    if (conn.claims && claimed != m_conns.end() && claimed->second.claimedBy == id) {
        claimed->second.claimedBy = 0;
        Watch(conn.claims, claimed->second);
    }
    auto claimer = m_conns.find(conn.claimedBy);
    if (conn.claimedBy && claimer != m_conns.end())
        claimer->second.claims = 0;
    Retire(conn.reader);
    Retire(conn.writer);
    ::close(conn.fd);
    m_switch.Detach(id);
    ArmTimer();
}

void ExchangeServer::Notice(const std::string& line) const
{
    if (m_options.log)
        m_options.log(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void ExchangeServer::Send(ClientId client, std::string_view frame)
{
    auto it = m_conns.find(client);
    if (it == m_conns.end() || m_overflowing.count(client))
        return;
    Conn& conn = it->second;
    if (static_cast<qint64>(conn.out.size() + frame.size()) > m_options.maxQueuedBytes) {
        // A client that stops reading must not hold the exchange's memory.
        // Dropping it changes the switch, so not while the switch is busy.
        m_overflowing.insert(client);
        if (m_options.verbose)
            Notice("c" + std::to_string(client) + " stopped reading, closing");
        QMetaObject::invokeMethod(this, [this, client] { Close(client); }, Qt::QueuedConnection);
        return;
    }
    if (client == m_reading)
        m_answeredReading = true;
    conn.out.append(frame.data(), frame.size());
    if (!conn.dirty) {
        conn.dirty = true;
        m_dirty.push_back(client);
    }
    if (m_batch == 0) {
        const Batch batch(*this); // sends at once
    }
}

QString ExposureWarning(const QHostAddress& address)
{
    if (Plain(address).isLoopback())
        return {};
    return QStringLiteral("isdn-exchange: warning: listening on %1, beyond this machine. Whoever reaches a "
                          "line's port is that subscriber and reads its texts; only loopback and --allow "
                          "addresses are let in.")
        .arg(address.toString());
}

} // namespace exchange
