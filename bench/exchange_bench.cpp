// Load on isdn-exchange: N lines, each with one listening application that
// rejects every call (Reject 5, as Zoemlijn does), and M senders that call
// round the lines back to back. Prints calls per second, set-up latency
// (CONNECT_REQ sent to CONNECT_IND received), the exchange's RSS and the
// CPU time each side spends on a call. The same calls run first against a
// bare server of the same framing, in the same run, and the exchange's
// throughput is given as a share of that baseline.
//
//   exchange_bench [--lines N] [--senders M] [--calls C] [--seconds S]
//                  [--slow MS] [--unanswered MS] [--exchange PATH]
//
// --slow MS lists every set-up slower than MS, with the monotonic clock at
// the start, to find it again in a `perf record -k CLOCK_MONOTONIC` trace.
// --unanswered MS: the listeners never answer a CONNECT_IND, and the
// exchange (--setup-timeout MS) must clear every call with 0x3492.
#include "BenchFrames.h"
#include "CapiDefs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace capi;

struct Options
{
    int lines = 4;
    int senders = 8;
    long calls = 200000;
    int seconds = 120;
    long slowUs = 0; // print every set-up slower than this; 0: none
    int unansweredMs = 0; // listeners never answer; the exchange clears each call after this
    std::string exchange = ZL_EXCHANGE_BIN;
};

struct Conn
{
    int fd = -1;
    bool listener = false;
    int index = 0;  // sender number, or line number for a listener
    int line = 0;
    std::string in;
    Clock::time_point sent;
};

[[noreturn]] void Die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

void SendFrame(int fd, const uint8_t* payload, size_t size)
{
    uint8_t frame[512];
    PutU16BE(frame, static_cast<uint16_t>(size + 2));
    std::memcpy(frame + 2, payload, size);
    const ssize_t n = send(fd, frame, size + 2, MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(size + 2))
        Die("send");
}

void SendMsg(int fd, uint16_t code, uint32_t address, const std::string& params = {})
{
    uint8_t m[256] = {};
    Header h;
    h.length = static_cast<uint16_t>(kHeaderSize + params.size());
    h.applId = 1;
    h.command = CommandOf(code);
    h.subcommand = SubcommandOf(code);
    h.address = address;
    PutHeader(m, h);
    std::memcpy(m + kHeaderSize, params.data(), params.size());
    SendFrame(fd, m, h.length);
}

// Blocking read of one frame payload during set-up.
std::string ReadFrame(int fd)
{
    uint8_t prefix[2];
    if (recv(fd, prefix, 2, MSG_WAITALL) != 2)
        Die("recv");
    std::string body(GetU16BE(prefix) - 2, '\0');
    if (recv(fd, body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size()))
        Die("recv");
    return body;
}

// maxCalls: the registration's MaxLogicalConnection, which bounds the
// calls the exchange offers the application at once.
int Dial(int port, uint16_t maxCalls)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Die("connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t reg[] = {0, 0, 0, 0, 0xf2, 0xff, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0, 0, 7, 0, 0x80, 0, 2};
    PutU16(reg + 14, maxCalls);
    SendFrame(fd, reg, sizeof reg);
    if (ReadFrame(fd) != std::string("\0\0\0\0\xf3\xff\0\0\0\0", 10))
        Die("register");
    return fd;
}

long StatusKb(pid_t pid, const char* key)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    const size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, keyLen) == 0)
            kb = std::atol(line + keyLen);
    std::fclose(f);
    return kb;
}

// CPU seconds (user + system) the process has used so far.
double CpuSeconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // Fields 14 and 15, counted after the ")" that ends the command name.
    const char* p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// Notices when a CPU runs none of our threads for a while, which a busy
// machine's hypervisor or scheduler does now and then: one thread pinned to
// each CPU wakes every millisecond and notes the gaps. A set-up that spans
// such a gap measured the machine, not the exchange.
class StallWatch
{
public:
    struct Stall
    {
        int cpu;
        int64_t fromUs, toUs; // since `begin`
    };
    static constexpr int64_t kStallUs = 60000; // beyond what a busy run queue costs

    explicit StallWatch(Clock::time_point begin) : m_begin(begin)
    {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        sched_getaffinity(0, sizeof cpus, &cpus);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &cpus))
                m_threads.emplace_back([this, cpu] { Watch(cpu); });
    }
    ~StallWatch() { Stop(); }

    void Stop()
    {
        m_stop = true;
        for (auto& t : m_threads)
            if (t.joinable())
                t.join();
    }
    // Only after Stop().
    const std::vector<Stall>& Stalls() const { return m_stalls; }
    bool Overlaps(int64_t fromUs, int64_t toUs) const
    {
        return std::any_of(m_stalls.begin(), m_stalls.end(),
                           [&](const Stall& s) { return s.fromUs < toUs && fromUs < s.toUs; });
    }

private:
    int64_t Us() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_begin).count();
    }
    void Watch(int cpu)
    {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        std::vector<Stall> found;
        int64_t last = Us();
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int64_t now = Us();
            if (now - last >= kStallUs)
                found.push_back({cpu, last, now});
            last = now;
        }
        static std::mutex merge;
        const std::lock_guard<std::mutex> lock(merge);
        m_stalls.insert(m_stalls.end(), found.begin(), found.end());
    }

    Clock::time_point m_begin;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
    std::vector<Stall> m_stalls; // filled as the threads end
};

std::string Number(int line) { return "03000000" + std::to_string(10 + line); }

// The same-run baseline: a bare server on the same framing that answers the
// same frames as the exchange (REGISTER, LISTEN_REQ, CONNECT_REQ to the called
// line's listener, its CONNECT_RESP as two DISCONNECT_INDs), with one poll
// loop, output gathered per round, and none of the switch's bookkeeping.
class BareServer
{
public:
    BareServer(int lines, int out) : m_lines(lines), m_listener(lines, -1)
    {
        for (int l = 0; l < lines; ++l) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof addr;
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
                getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
                Die("bare server");
            m_fds.push_back({fd, POLLIN, 0});
            m_conns.push_back({});
            m_conns.back().line = l;
            m_conns.back().listening = true;
            dprintf(out, "listening %s 127.0.0.1:%d\n", Number(l).c_str(), ntohs(addr.sin_port));
        }
        close(out);
    }

    [[noreturn]] void Run()
    {
        char buf[65536];
        for (;;) {
            if (poll(m_fds.data(), m_fds.size(), -1) < 0 && errno != EINTR)
                Die("poll");
            const size_t n = m_fds.size();
            for (size_t i = 0; i < n; ++i) {
                if (!(m_fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (m_conns[i].listening) {
                    Accept(m_conns[i].line, m_fds[i].fd);
                    continue;
                }
                const ssize_t got = recv(m_fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got <= 0) {
                    if (got == 0 || (errno != EAGAIN && errno != EINTR))
                        _exit(0); // the bench is done
                    continue;
                }
                Conn& c = m_conns[i];
                c.in.append(buf, static_cast<size_t>(got));
                size_t pos = 0;
                while (c.in.size() - pos >= 2) {
                    const size_t len = GetU16BE(reinterpret_cast<const uint8_t*>(c.in.data() + pos));
                    if (len < 2 || c.in.size() - pos < len)
                        break;
                    Handle(i, std::string_view(c.in).substr(pos + 2, len - 2));
                    pos += len;
                }
                c.in.erase(0, pos);
            }
            for (size_t i = 0; i < m_fds.size(); ++i)
                Flush(i);
        }
    }

private:
    struct Conn
    {
        int line = 0;
        bool listening = false; // the port itself
        std::string in, out;
    };
    struct Call
    {
        size_t caller = 0, callee = 0;
        int responses = 0; // DISCONNECT_RESPs seen
    };

    void Accept(int line, int listenFd)
    {
        for (;;) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd < 0)
                return;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_fds.push_back({fd, POLLIN, 0});
            m_conns.push_back({});
            m_conns.back().line = line;
        }
    }

    void Put(size_t to, uint16_t code, uint16_t number, uint32_t address, std::string_view params)
    {
        uint8_t m[512];
        Header h;
        h.length = static_cast<uint16_t>(kHeaderSize + params.size());
        h.applId = 1;
        h.command = CommandOf(code);
        h.subcommand = SubcommandOf(code);
        h.number = number;
        h.address = address;
        PutU16BE(m, static_cast<uint16_t>(h.length + 2));
        PutHeader(m + 2, h);
        std::memcpy(m + 2 + kHeaderSize, params.data(), params.size());
        m_conns[to].out.append(reinterpret_cast<const char*>(m), h.length + 2u);
    }

    void Handle(size_t from, std::string_view p)
    {
        const auto* m = reinterpret_cast<const uint8_t*>(p.data());
        if (p.size() > 5 && m[5] == 0xff) {
            if (p.size() >= 12 && GetU16BE(m + 4) == 0xf2ff)
                m_conns[from].out.append("\x00\x0c\x00\x00\x00\x00\xf3\xff\x00\x00\x00\x00", 12);
            return;
        }
        if (p.size() < kHeaderSize)
            return;
        const uint16_t code = GetU16(m + 4);
        const uint16_t number = GetU16(m + 6);
        const uint32_t address = GetU32(m + 8);
        if (code == ListenReq) {
            m_listener[m_conns[from].line] = static_cast<int>(from);
            Put(from, ListenConf, number, address, std::string(2, '\0'));
        } else if (code == ConnectReq) {
            Reader r(m + kHeaderSize, p.size() - kHeaderSize);
            uint16_t cip = 0;
            std::string_view called, calling, calledSub, callingSub;
            if (!r.U16(cip) || !r.Struct(called) || !r.Struct(calling) || !r.Struct(calledSub) ||
                !r.Struct(callingSub) || called.empty())
                return;
            int to = -1;
            for (int l = 0; l < m_lines; ++l)
                if (Number(l) == called.substr(1))
                    to = l;
            const uint16_t id = m_nextCall++;
            Call& call = m_calls[id];
            call.caller = from;
            // Both sides get one address; each echoes it back.
            const uint32_t plci = 1 | (uint32_t(id) << 8);
            Put(from, ConnectConf, number, plci, std::string(2, '\0'));
            if (to < 0 || m_listener[to] < 0)
                return;
            call.callee = static_cast<size_t>(m_listener[to]);
            std::string ind("\x02\x00", 2);
            ind += static_cast<char>(called.size() + 1);
            ind += called;
            const std::string from_number = Number(m_conns[from].line);
            ind += static_cast<char>(from_number.size() + 2);
            ind += "\x01\x80";
            ind += from_number;
            ind += '\0';
            ind += static_cast<char>(callingSub.size());
            ind += callingSub;
            ind += std::string(4, '\0');
            Put(call.callee, ConnectInd, m_number++, plci, ind);
        } else if (code == ConnectResp) {
            const uint16_t id = static_cast<uint16_t>(address >> 8);
            auto it = m_calls.find(id);
            if (it == m_calls.end() || p.size() < kHeaderSize + 2)
                return;
            Put(it->second.caller, DisconnectInd, m_number++, address, std::string("\x9d\x34", 2));
            Put(it->second.callee, DisconnectInd, m_number++, address, std::string(2, '\0'));
        } else if (code == DisconnectResp) {
            // The call ends with the second side's response.
            const uint16_t id = static_cast<uint16_t>(address >> 8);
            auto it = m_calls.find(id);
            if (it != m_calls.end() && ++it->second.responses == 2)
                m_calls.erase(it);
        }
    }

    void Flush(size_t i)
    {
        std::string& out = m_conns[i].out;
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = send(m_fds[i].fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        out.erase(0, done);
    }

    int m_lines;
    std::vector<int> m_listener; // connection index per line
    std::vector<pollfd> m_fds;
    std::vector<Conn> m_conns;
    std::unordered_map<uint16_t, Call> m_calls;
    uint16_t m_nextCall = 1;
    uint16_t m_number = 0;
};

struct Server
{
    pid_t pid = -1;
    std::vector<int> ports;
};

// The exchange, or the bare server, in its own process on free ports.
Server StartServer(const Options& o, bool bare)
{
    int out[2];
    if (pipe(out) != 0)
        Die("pipe");
    std::vector<std::string> args = {o.exchange};
    for (int l = 0; l < o.lines; ++l) {
        args.push_back("--line");
        args.push_back(Number(l) + "=0");
    }
    if (o.unansweredMs > 0) {
        args.push_back("--setup-timeout");
        args.push_back(std::to_string(o.unansweredMs));
    }
    // The exchange's limits, raised where the load needs more than their defaults.
    const int perLine = (o.senders + o.lines - 1) / o.lines + 1;
    if (perLine > 8) {
        args.insert(args.end(), {"--client-registrations", std::to_string(perLine), "--line-connections",
                                 std::to_string(perLine + 1), "--client-calls", "255"});
    }
    Server server;
    server.pid = fork();
    if (server.pid == 0) {
        close(out[0]);
        if (bare)
            BareServer(o.lines, out[1]).Run();
        dup2(out[1], 1);
        std::vector<char*> argvp;
        for (auto& a : args)
            argvp.push_back(a.data());
        argvp.push_back(nullptr);
        execv(argvp[0], argvp.data());
        _exit(127);
    }
    close(out[1]);
    FILE* listing = fdopen(out[0], "r");
    server.ports.assign(o.lines, 0);
    char line[256];
    for (int got = 0; got < o.lines && std::fgets(line, sizeof line, listing);) {
        char number[64];
        int port = 0;
        if (std::sscanf(line, "listening %63s %*[^:]:%d", number, &port) == 2)
            for (int l = 0; l < o.lines; ++l)
                if (Number(l) == number) {
                    server.ports[l] = port;
                    ++got;
                }
    }
    return server;
}

struct LoadResult
{
    long completed = 0;
    long failed = 0;
    double secs = 0;
    double Rate() const { return secs > 0 ? completed / secs : 0; }
};

// Runs the calls against `server`; `detail` prints the exchange's figures.
LoadResult RunLoad(const Options& o, const Server& server, bool detail)
{
    const pid_t pid = server.pid;
    const std::vector<int>& ports = server.ports;
    const uint16_t expectedReason = o.unansweredMs > 0 ? ReasonNoUserResponding : ReasonFacilityRejected;
    std::vector<Conn> conns;
    for (int l = 0; l < o.lines; ++l) {
        Conn c;
        // Room for every sender at once, and for the calls cleared but not yet responded to.
        c.fd = Dial(ports[l], static_cast<uint16_t>(std::min(30, 2 * o.senders)));
        c.listener = true;
        c.index = l;
        c.line = l;
        SendMsg(c.fd, ListenReq, 1, std::string("\0\0\0\0\x01\0\0\0\0\0\0\0\0\0", 14));
        if (GetU16(reinterpret_cast<const uint8_t*>(ReadFrame(c.fd).data()) + 12) != InfoOk)
            Die("listen");
        conns.push_back(std::move(c));
    }
    for (int s = 0; s < o.senders; ++s) {
        Conn c;
        c.line = s % o.lines;
        c.fd = Dial(ports[c.line], 2);
        c.index = s;
        conns.push_back(std::move(c));
    }
    std::vector<Conn*> senderConn(o.senders);
    for (auto& c : conns)
        if (!c.listener)
            senderConn[c.index] = &c;

    std::vector<uint32_t> latencyUs;
    std::vector<int64_t> sentUs; // beside latencyUs, since `begin`
    latencyUs.reserve(static_cast<size_t>(std::min(o.calls, 2000000L)));
    sentUs.reserve(latencyUs.capacity());
    long started = 0, completed = 0, failed = 0;
    const long rssEvery = std::max(1L, o.calls / 10);
    const auto begin = Clock::now();
    const double ownCpuAtBegin = OwnCpuSeconds();
    const auto deadline = begin + std::chrono::seconds(o.seconds);
    StallWatch stalls(begin);
    if (detail && o.slowUs > 0) // to match the slow set-ups with kernel traces (perf -k CLOCK_MONOTONIC)
        std::printf("start at monotonic %.6f s\n", std::chrono::duration<double>(begin.time_since_epoch()).count());
    if (detail) {
        std::printf("%10s %10s %12s %12s\n", "calls", "seconds", "rss_kb", "peak_kb");
        std::printf("%10ld %10.1f %12ld %12ld\n", 0L, 0.0, StatusKb(pid, "VmRSS:"), StatusKb(pid, "VmHWM:"));
    }

    auto dial = [&](Conn& c) {
        const std::string text = "s" + std::to_string(c.index);
        c.sent = Clock::now();
        ++started;
        SendMsg(c.fd, ConnectReq, 1, ConnectReqParams(Number((c.line + 1) % o.lines), text));
    };
    for (Conn* c : senderConn)
        if (started < o.calls)
            dial(*c);

    std::vector<pollfd> fds(conns.size());
    for (size_t i = 0; i < conns.size(); ++i)
        fds[i] = {conns[i].fd, POLLIN, 0};
    char buf[65536];
    while (completed < started && Clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), 1000) < 0)
            Die("poll");
        for (size_t i = 0; i < conns.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Conn& c = conns[i];
            const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                Die("the server closed a connection");
            c.in.append(buf, static_cast<size_t>(n));
            size_t pos = 0;
            while (c.in.size() - pos >= 2) {
                const auto* p = reinterpret_cast<const uint8_t*>(c.in.data() + pos);
                const size_t len = GetU16BE(p);
                if (c.in.size() - pos < len)
                    break;
                const uint8_t* m = p + 2;
                const uint16_t code = GetU16(m + 4);
                const uint32_t address = GetU32(m + 8);
                if (c.listener && code == ConnectInd) {
                    const auto now = Clock::now();
                    // Calling party subaddress "s<n>" names the sender.
                    Reader r(m + 14, len - 2 - 14);
                    std::string_view called, calling, calledSub, callingSub;
                    if (r.Struct(called) && r.Struct(calling) && r.Struct(calledSub) && r.Struct(callingSub) &&
                        callingSub.size() > 2) {
                        const int s = std::atoi(std::string(callingSub.substr(2)).c_str());
                        if (s >= 0 && s < o.senders) {
                            const Conn& from = *senderConn[s];
                            const auto us =
                                std::chrono::duration_cast<std::chrono::microseconds>(now - from.sent).count();
                            latencyUs.push_back(static_cast<uint32_t>(us));
                            sentUs.push_back(
                                std::chrono::duration_cast<std::chrono::microseconds>(from.sent - begin).count());
                            if (detail && o.slowUs > 0 && us >= o.slowUs)
                                std::printf("slow set-up: %.3f ms at %.3f s, sender %d, line %d -> %d\n", us / 1000.0,
                                            std::chrono::duration<double>(from.sent - begin).count(), s, from.line,
                                            c.line);
                        }
                    }
                    if (o.unansweredMs == 0)
                        SendMsg(c.fd, ConnectResp, address, std::string("\x05\0\0\0\0\0\0", 7));
                } else if (code == DisconnectInd) {
                    SendMsg(c.fd, DisconnectResp, address);
                    if (!c.listener) {
                        if (GetU16(m + 12) == expectedReason)
                            ++completed;
                        else
                            ++failed, ++completed;
                        if (detail && completed % rssEvery == 0) {
                            const double secs = std::chrono::duration<double>(Clock::now() - begin).count();
                            std::printf("%10ld %10.1f %12ld %12ld\n", completed, secs, StatusKb(pid, "VmRSS:"),
                                        StatusKb(pid, "VmHWM:"));
                            std::fflush(stdout);
                        }
                        if (started < o.calls)
                            dial(c);
                    }
                }
                pos += len;
            }
            c.in.erase(0, pos);
        }
    }
    LoadResult result;
    result.completed = completed;
    result.failed = failed;
    result.secs = std::chrono::duration<double>(Clock::now() - begin).count();
    const double secs = result.secs;
    stalls.Stop();
    for (auto& c : conns)
        close(c.fd);
    if (!detail)
        return result;
    std::vector<uint32_t> clearUs; // set-ups that no CPU stall overlapped
    for (size_t i = 0; i < latencyUs.size(); ++i)
        if (!stalls.Overlaps(sentUs[i], sentUs[i] + latencyUs[i]))
            clearUs.push_back(latencyUs[i]);
    std::sort(latencyUs.begin(), latencyUs.end());
    std::sort(clearUs.begin(), clearUs.end());
    auto pctOf = [](const std::vector<uint32_t>& v, double q) {
        return v.empty() ? 0.0 : v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))] / 1000.0;
    };
    auto pct = [&](double q) { return pctOf(latencyUs, q); };
    std::printf("completed %ld calls (%ld not rejected as expected) in %.2f s: %.0f calls/s\n", completed, failed,
                secs, completed / secs);
    std::printf("set-up latency p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", pct(0.5), pct(0.99), pct(1.0));
    int64_t longest = 0;
    for (const auto& s : stalls.Stalls()) {
        longest = std::max(longest, s.toUs - s.fromUs);
        if (o.slowUs > 0)
            std::printf("CPU %d stalled %.3f ms at %.3f s\n", s.cpu, (s.toUs - s.fromUs) / 1000.0, s.fromUs / 1e6);
    }
    std::printf("CPU stalls of %lld ms or more: %zu, longest %.3f ms; %zu set-ups overlapped one\n",
                static_cast<long long>(StallWatch::kStallUs / 1000), stalls.Stalls().size(), longest / 1000.0,
                latencyUs.size() - clearUs.size());
    std::printf("set-up latency outside stalls p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", pctOf(clearUs, 0.5),
                pctOf(clearUs, 0.99), pctOf(clearUs, 1.0));
    std::printf("exchange RSS %ld kB, peak %ld kB\n", StatusKb(pid, "VmRSS:"), StatusKb(pid, "VmHWM:"));
    if (completed > 0)
        std::printf("CPU per call: exchange %.1f us, bench %.1f us\n", CpuSeconds(pid) * 1e6 / completed,
                    (OwnCpuSeconds() - ownCpuAtBegin) * 1e6 / completed);
    return result;
}

void Stop(const Server& server)
{
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
}

} // namespace

int main(int argc, char* argv[])
{
    Options o;
    if ((argc - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: exchange_bench [--lines N] [--senders M] [--calls C] [--seconds S] "
                             "[--slow MS] [--unanswered MS] [--exchange PATH]\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--lines")
            o.lines = std::atoi(argv[i + 1]);
        else if (key == "--senders")
            o.senders = std::atoi(argv[i + 1]);
        else if (key == "--calls")
            o.calls = std::atol(argv[i + 1]);
        else if (key == "--seconds")
            o.seconds = std::atoi(argv[i + 1]);
        else if (key == "--exchange")
            o.exchange = argv[i + 1];
        else if (key == "--slow")
            o.slowUs = std::atol(argv[i + 1]) * 1000;
        else if (key == "--unanswered")
            o.unansweredMs = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "exchange_bench: unknown option %s\n", key.c_str());
            return 2;
        }
    }
    o.lines = std::clamp(o.lines, 1, 200);
    o.senders = std::clamp(o.senders, 1, 1000);

    std::printf("lines %d, senders %d, calls %ld\n", o.lines, o.senders, o.calls);
    // The baseline first, in the same run, on the same machine moment.
    LoadResult bare;
    if (o.unansweredMs == 0) {
        const Server server = StartServer(o, true);
        bare = RunLoad(o, server, false);
        Stop(server);
        std::printf("bare server: %ld calls in %.2f s: %.0f calls/s\n", bare.completed, bare.secs, bare.Rate());
    }
    const Server server = StartServer(o, false);
    const LoadResult load = RunLoad(o, server, true);
    Stop(server);
    if (bare.Rate() > 0)
        std::printf("exchange throughput: %.0f%% of the bare server's\n", 100.0 * load.Rate() / bare.Rate());
    return load.failed == 0 && load.completed == o.calls ? 0 : 1;
}
