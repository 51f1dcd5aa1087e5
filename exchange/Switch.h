// The exchange itself: subscriber lines, the CAPI applications registered on
// them, and the calls between them. Knows nothing of sockets: bytes come in
// through Feed(), frames go out through Output, so tests and the fuzzer can
// drive it directly. Single-threaded.
#pragma once

#include "CapiDefs.h"
#include "Frames.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace exchange {

using ClientId = uint64_t;

class Output
{
public:
    virtual ~Output() = default;
    // One complete frame, prefix included, to be written in one piece.
    virtual void Send(ClientId client, std::string_view frame) = 0;
};

// Sees each call's signalling as a network would put it on the D channel.
class CallObserver
{
public:
    virtual ~CallObserver() = default;
    virtual void CallSetup(uint64_t call, std::string_view callingNumber, std::string_view calledNumber,
                           uint16_t cip, std::string_view callingSubaddress) = 0;
    virtual void CallConnected(uint64_t call) = 0;
    // reason: the caller's DISCONNECT_IND Reason (0 when the caller cleared).
    virtual void CallCleared(uint64_t call, uint16_t reason) = 0;
};

// How long the network waits for the called side (Q.931 T303 and T301).
struct CallTimeouts
{
    // From CONNECT_IND to an answer or ALERT_REQ; then "no user responding".
    int64_t setupMs = 4000;
    // From ALERT_REQ to the answer; then "no answer".
    int64_t alertMs = 3 * 60 * 1000;
};

// What one party may hold, so that no one takes a line over. A client is
// an address: stock libcapi20 presents nothing else to tell programs apart.
struct SwitchLimits
{
    // Calls (PLCIs) that all applications from one address hold together on
    // a line, however often they register.
    uint16_t clientCalls = 30;
    // Applications one address may register on a line.
    int clientRegistrations = 8;
    // B channels of a line: the calls it can have connected at once.
    int channels = 2;
};

struct SwitchStats
{
    size_t clients = 0;
    size_t plcis = 0;
    size_t calls = 0;
};

enum class PlciState { Outgoing, Offered, Active, Releasing };

class Switch
{
public:
    static constexpr int kNoLine = -1;
    static constexpr uint8_t kController = 1;
    // No application holds more calls than a primary rate line has B
    // channels, whatever it registered with, so others on its line get through.
    static constexpr uint16_t kMaxCallsPerApplication = 30;

    explicit Switch(Output& out);
    ~Switch();
    Switch(const Switch&) = delete;
    Switch& operator=(const Switch&) = delete;

    // A line reached over the network; returns its index, kNoLine when the
    // number is empty, not digits, or taken.
    int AddLine(const std::string& number);
    // A line whose calls the exchange answers itself, greets and clears.
    int AddAnsweringLine(const std::string& number);
    const std::string& LineNumber(int line) const;
    int LineCount() const { return static_cast<int>(m_lines.size()); }

    void SetLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }
    void SetObserver(CallObserver* observer) { m_observer = observer; }
    void SetGreeting(std::string greeting) { m_greeting = std::move(greeting); }
    void SetTimeouts(const CallTimeouts& timeouts) { m_timeouts = timeouts; }
    void SetLimits(const SwitchLimits& limits) { m_limits = limits; }
    // Milliseconds on a clock that never goes back; steady_clock unless set.
    void SetClock(std::function<int64_t()> nowMs) { m_now = std::move(nowMs); }

    // A new connection on a line's port, from `peer` (its address).
    ClientId Attach(int line, const std::string& peer = {});
    // Registered as an application.
    bool Registered(ClientId client) const;
    // Registered, or asked a management request: a connection that speaks.
    bool Identified(ClientId client) const;
    // Bytes received from a client. False when the stream was malformed: the
    // client is then already detached and its connection must be closed.
    bool Feed(ClientId client, const uint8_t* data, size_t size);
    // The connection is gone: its calls are cleared, everything freed.
    void Detach(ClientId client);
    // Clears the calls whose time-out has come; the owner calls it at
    // NextDeadline(), which is -1 while no call waits.
    void Expire();
    int64_t NextDeadline() const { return m_deadlines.empty() ? -1 : m_deadlines.begin()->first; }

    SwitchStats Stats() const;

private:
    struct Client;
    struct Line;
    struct Plci;
    struct Call;
    struct AddressUse;
    struct Block;

    bool HandleFrame(Client& c, std::string_view payload);
    bool HandleControl(Client& c, std::string_view payload);
    bool HandleMessage(Client& c, std::string_view payload);

    void OnListenReq(Client& c, const capi::Header& h, capi::Reader& r);
    void OnConnectReq(Client& c, const capi::Header& h, capi::Reader& r);
    void OnConnectResp(Client& c, const capi::Header& h, capi::Reader& r);
    void OnAlertReq(Client& c, const capi::Header& h);
    void OnDisconnectReq(Client& c, const capi::Header& h);
    void OnDisconnectResp(Client& c, const capi::Header& h);
    void OnConnectB3Req(Client& c, const capi::Header& h);
    void OnConnectB3Resp(Client& c, const capi::Header& h, capi::Reader& r);
    void OnDisconnectB3Req(Client& c, const capi::Header& h);
    void OnDisconnectB3Resp(Client& c, const capi::Header& h);
    void OnDataB3Req(Client& c, const capi::Header& h, capi::Reader& r, std::string_view payload);
    void OnDataB3Resp(Client& c, const capi::Header& h);
    void OnPlainReq(Client& c, const capi::Header& h, capi::Reader& r);
    void OnUnknownReq(Client& c, const capi::Header& h, capi::Reader& r);
    bool HandleRegister(Client& c, FrameBuilder& b, std::string_view payload);

    void Route(Call& call, uint16_t cip, std::string_view digits, std::string_view callingSubaddress);
    void Connect(Call& call, Plci& answerer);
    // The accepting application gets the call if both lines have a B channel free.
    void Accept(Call& call, Plci& answerer);
    bool ChannelFree(const Plci& a, const Plci* b) const;
    void SetState(Plci& p, PlciState state);
    void ConnectB3(Plci& requester);
    void Greet(Plci& caller);
    // DATA_B3_IND of `block` to `to`, and the sender's DATA_B3_CONF.
    void Deliver(Plci& to, Block& block);
    // Sends DISCONNECT_IND (after DISCONNECT_B3_IND when a B3 link is up)
    // and takes the PLCI out of its call; it lives on until DISCONNECT_RESP.
    void Release(Plci& p, uint16_t reason);
    // The offered party drops out, with the cause it gave (0: none); when
    // nobody is left the caller hears the weightiest cause given.
    void Withdraw(Plci& p, uint16_t cause);
    // Releases every party of the call except `except`, each with its reason.
    void ClearOthers(Call& call, const Plci* except, uint16_t callerReason, uint16_t otherReason);
    void Unlink(Plci& p);
    void Arm(Call& call, int64_t ms);
    void Disarm(Call& call);
    bool AtCallLimit(const Client& c) const;
    void FreePlci(Plci& p);
    Plci* NewPlci(int line, Client* owner, Call* call, PlciState state);
    Plci* FindPlci(Client& c, uint32_t address);
    Plci* Peer(const Plci& p);

    void Send(Client& c, std::string_view frame);
    void Conf(Client& c, const capi::Header& req, uint16_t info);
    void Ind(Plci& p, uint16_t code, uint32_t address, uint16_t reason);
    void DataConf(ClientId client, uint16_t number, uint32_t ncci, uint16_t handle, uint16_t info);
    void Drop(Client& c);
    void Log(const Client& c, const char* dir, std::string_view payload);

    Output& m_out;
    std::vector<std::unique_ptr<Line>> m_lines;
    std::unordered_map<std::string, int> m_byNumber;
    std::unordered_map<ClientId, std::unique_ptr<Client>> m_clients;
    std::unordered_map<uint64_t, std::unique_ptr<Call>> m_calls;
    // (deadline, call id) of every call that waits for its called side.
    std::set<std::pair<int64_t, uint64_t>> m_deadlines;
    CallTimeouts m_timeouts;
    SwitchLimits m_limits;
    std::function<int64_t()> m_now;
    ClientId m_nextClient = 1;
    uint64_t m_nextCall = 1;
    size_t m_plciCount = 0;
    std::string m_greeting = "Hallo van de centrale";
    std::function<void(const std::string&)> m_log;
    CallObserver* m_observer = nullptr;
};

} // namespace exchange
