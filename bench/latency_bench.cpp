// Latency of one text after another, through the stock libcapi20 in remote
// mode and isdn-exchange: the calling application puts CONNECT_REQ, the
// called one (a second process: libcapi20 reads ~/.capi20rc once per
// process) fetches CONNECT_IND and rejects it, the caller answers the
// DISCONNECT_IND and sends the next text. Measured from the put of
// CONNECT_REQ to the fetch of CONNECT_IND, beside a bare TCP round trip of a
// frame of the same size between two threads of this process.
//
//   latency_bench [--texts N] [--client-nodelay] [--exchange PATH]
//
// libcapi20 leaves Nagle on, as other CAPI applications do; --client-nodelay
// switches it off on both applications' sockets. To see the exchange's part,
// run it once with an older isdn-exchange through --exchange.
#include "BenchFrames.h"
#include "CapiDefs.h"

#include <capi20.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace capi;

const std::string kCaller = "0301111111";
const std::string kCalled = "0302222222";
constexpr int kWarmUp = 50;
constexpr size_t kTextSize = 19; // the longest text Zoemlijn sends

struct Options
{
    int texts = 10000;
    bool clientNoDelay = false;
    std::string exchange = ZL_EXCHANGE_BIN;
};

// What the called side reports for each CONNECT_IND through a pipe.
struct Arrival
{
    uint32_t seq;
    int64_t ns;
};

[[noreturn]] void Die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

[[noreturn]] void DieCapi(const char* what, unsigned rc)
{
    std::fprintf(stderr, "latency_bench: %s: 0x%04X\n", what, rc);
    std::exit(1);
}

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

void WriteRc(const std::string& dir, int port)
{
    const std::string path = dir + "/.capi20rc";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        Die(path.c_str());
    // The final newline matters: libcapi20 cuts the last character of each line.
    std::fprintf(f, "REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n", port);
    std::fclose(f);
}

void NoDelay(int fd)
{
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        Die("TCP_NODELAY");
}

unsigned Register(const Options& o)
{
    unsigned appl = 0;
    // The parameters Zoemlijn registers with.
    const unsigned rc = capi20_register(2, 16, 128, &appl);
    if (rc != 0)
        DieCapi("register", rc);
    if (o.clientNoDelay)
        NoDelay(static_cast<int>(capi20_fileno(appl)));
    return appl;
}

void Put(unsigned appl, uint16_t code, uint32_t address, const std::string& params)
{
    std::vector<uint8_t> m(kHeaderSize + params.size());
    Header h;
    h.length = static_cast<uint16_t>(m.size());
    h.applId = static_cast<uint16_t>(appl);
    h.command = CommandOf(code);
    h.subcommand = SubcommandOf(code);
    h.address = address;
    PutHeader(m.data(), h);
    std::memcpy(m.data() + kHeaderSize, params.data(), params.size());
    const unsigned rc = capi20_put_message(appl, m.data());
    if (rc != 0)
        DieCapi("put_message", rc);
}

// Blocks until the next message; null when the exchange is gone.
const uint8_t* Get(unsigned appl)
{
    unsigned char* msg = nullptr;
    if (capi20_get_message(appl, &msg) != 0)
        return nullptr;
    return msg;
}

std::string Text(uint32_t seq)
{
    char text[kTextSize + 1];
    std::snprintf(text, sizeof text, "tekst %013u", seq);
    return text;
}

// The called side: listens, stamps and rejects every call, until the
// exchange goes away.
[[noreturn]] void CalledSide(const Options& o, int out, int ready)
{
    const unsigned appl = Register(o);
    Put(appl, ListenReq, 1, std::string("\0\0\0\0\x01\0\0\0\0\0\0\0\0\0", 14));
    const uint8_t* conf = Get(appl);
    if (!conf || GetU16(conf + 4) != ListenConf || GetU16(conf + 12) != InfoOk)
        DieCapi("listen", conf ? GetU16(conf + 12) : 0xffff);
    if (write(ready, "r", 1) != 1)
        Die("ready");
    while (const uint8_t* m = Get(appl)) {
        const int64_t now = NowNs();
        const uint16_t code = GetU16(m + 4);
        const uint32_t address = GetU32(m + 8);
        if (code == ConnectInd) {
            Reader r(m + 14, GetU16(m) - 14u);
            std::string_view called, calling, calledSub, callingSub;
            Arrival a{0, now};
            if (r.Struct(called) && r.Struct(calling) && r.Struct(calledSub) && r.Struct(callingSub) &&
                callingSub.size() > 7)
                a.seq = static_cast<uint32_t>(std::strtoul(std::string(callingSub.substr(7)).c_str(), nullptr, 10));
            if (write(out, &a, sizeof a) != sizeof a)
                Die("write");
            Put(appl, ConnectResp, address, std::string("\x05\0\0\0\0\0\0", 7));
        } else if (code == DisconnectInd) {
            Put(appl, DisconnectResp, address, {});
        }
    }
    std::_Exit(0);
}

struct Figures
{
    double p50, p99, max;
};

Figures Percentiles(std::vector<int64_t> ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))] / 1000.0; };
    return {at(0.5), at(0.99), at(1.0)};
}

// Round trips of a frame of `size` octets between two threads over loopback TCP.
std::vector<int64_t> BareRoundTrips(int count, size_t size)
{
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(server, 1) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        Die("bare server");
    std::thread echo([server, size] {
        const int fd = accept(server, nullptr, nullptr);
        NoDelay(fd);
        std::vector<char> buf(size);
        while (recv(fd, buf.data(), size, MSG_WAITALL) == static_cast<ssize_t>(size))
            if (send(fd, buf.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
                break;
        close(fd);
    });
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Die("bare connect");
    NoDelay(fd);
    std::vector<char> frame(size, 'x');
    std::vector<int64_t> ns;
    ns.reserve(static_cast<size_t>(count));
    for (int i = 0; i < kWarmUp + count; ++i) {
        const int64_t t0 = NowNs();
        if (send(fd, frame.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size) ||
            recv(fd, frame.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size))
            Die("bare round trip");
        if (i >= kWarmUp)
            ns.push_back(NowNs() - t0);
    }
    close(fd);
    echo.join();
    close(server);
    return ns;
}

} // namespace

int main(int argc, char* argv[])
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--client-nodelay") {
            o.clientNoDelay = true;
        } else if (key == "--texts" && i + 1 < argc) {
            o.texts = std::max(1, std::atoi(argv[++i]));
        } else if (key == "--exchange" && i + 1 < argc) {
            o.exchange = argv[++i];
        } else {
            std::fprintf(stderr, "usage: latency_bench [--texts N] [--client-nodelay] [--exchange PATH]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    // The exchange with two lines on free ports.
    int listing[2];
    if (pipe(listing) != 0)
        Die("pipe");
    const pid_t exchange = fork();
    if (exchange == 0) {
        dup2(listing[1], 1);
        close(listing[0]);
        const std::string a = kCaller + "=0", b = kCalled + "=0";
        execl(o.exchange.c_str(), o.exchange.c_str(), "--line", a.c_str(), "--line", b.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(listing[1]);
    FILE* lines = fdopen(listing[0], "r");
    int callerPort = 0, calledPort = 0;
    char line[256];
    while ((!callerPort || !calledPort) && std::fgets(line, sizeof line, lines)) {
        char number[64];
        int port = 0;
        if (std::sscanf(line, "listening %63s %*[^:]:%d", number, &port) == 2)
            (kCaller == number ? callerPort : calledPort) = port;
    }
    if (!callerPort || !calledPort) {
        std::fprintf(stderr, "latency_bench: %s did not start\n", o.exchange.c_str());
        return 1;
    }

    // One home per application, each with its own ~/.capi20rc.
    char tmpl[] = "/tmp/latency_bench.XXXXXX";
    if (!mkdtemp(tmpl))
        Die("mkdtemp");
    const std::string root = tmpl, callerHome = root + "/caller", calledHome = root + "/called";
    if (mkdir(callerHome.c_str(), 0700) != 0 || mkdir(calledHome.c_str(), 0700) != 0)
        Die("mkdir");
    WriteRc(callerHome, callerPort);
    WriteRc(calledHome, calledPort);

    int arrivals[2], ready[2];
    if (pipe(arrivals) != 0 || pipe(ready) != 0)
        Die("pipe");
    const pid_t called = fork();
    if (called == 0) {
        close(arrivals[0]);
        close(ready[0]);
        setenv("HOME", calledHome.c_str(), 1);
        CalledSide(o, arrivals[1], ready[1]);
    }
    close(arrivals[1]);
    close(ready[1]);
    char r = 0;
    if (read(ready[0], &r, 1) != 1) {
        std::fprintf(stderr, "latency_bench: the called side did not come up\n");
        return 1;
    }

    setenv("HOME", callerHome.c_str(), 1);
    const unsigned appl = Register(o);
    std::vector<int64_t> setupNs;
    setupNs.reserve(static_cast<size_t>(o.texts));
    size_t frameSize = 0;
    for (uint32_t seq = 0; seq < static_cast<uint32_t>(kWarmUp + o.texts); ++seq) {
        const std::string params = ConnectReqParams(kCalled, Text(seq));
        frameSize = 2 + kHeaderSize + params.size();
        const int64_t t0 = NowNs();
        Put(appl, ConnectReq, 1, params);
        for (;;) {
            const uint8_t* m = Get(appl);
            if (!m) {
                std::fprintf(stderr, "latency_bench: the exchange went away\n");
                return 1;
            }
            if (GetU16(m + 4) == DisconnectInd) {
                Put(appl, DisconnectResp, GetU32(m + 8), {});
                break;
            }
        }
        Arrival a{};
        if (read(arrivals[0], &a, sizeof a) != sizeof a || a.seq != seq) {
            std::fprintf(stderr, "latency_bench: text %u did not arrive\n", seq);
            return 1;
        }
        if (seq >= static_cast<uint32_t>(kWarmUp))
            setupNs.push_back(a.ns - t0);
    }
    capi20_release(appl);
    kill(exchange, SIGTERM);
    waitpid(exchange, nullptr, 0);
    waitpid(called, nullptr, 0);
    std::remove((callerHome + "/.capi20rc").c_str());
    std::remove((calledHome + "/.capi20rc").c_str());
    rmdir(callerHome.c_str());
    rmdir(calledHome.c_str());
    rmdir(root.c_str());

    const std::vector<int64_t> bareNs = BareRoundTrips(o.texts, frameSize);
    const Figures texts = Percentiles(setupNs), bare = Percentiles(bareNs);
    std::printf("%d texts one after another, client Nagle %s, exchange %s\n", o.texts,
                o.clientNoDelay ? "off" : "on", o.exchange.c_str());
    std::printf("%-40s %10s %10s %10s\n", "", "p50 us", "p99 us", "max us");
    std::printf("%-40s %10.1f %10.1f %10.1f\n", "CONNECT_REQ put to CONNECT_IND fetched", texts.p50, texts.p99,
                texts.max);
    std::printf("%-40s %10.1f %10.1f %10.1f\n", ("bare TCP round trip, " + std::to_string(frameSize) + " octets").c_str(),
                bare.p50, bare.p99, bare.max);
    std::printf("ratio to the bare round trip: p50 %.2fx, p99 %.2fx\n", texts.p50 / bare.p50, texts.p99 / bare.p99);
    const bool met = texts.p99 < 1000.0 && texts.p99 <= 2.0 * bare.p99;
    std::printf("goal (p99 under 1 ms and within 2x of the bare round trip): %s\n", met ? "met" : "not met");
    return 0;
}
