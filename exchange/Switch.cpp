#include "Switch.h"

#include "CapiDefs.h"
#include "Clock.h"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace exchange {

namespace {

using namespace capi;

// Codes the exchange answers with that the shared table does not name.
constexpr uint16_t ErrFacilityNotSupported = 0x300b;
constexpr uint16_t ErrDataLengthNotSupported = 0x300c;
constexpr uint16_t ErrRegInternalBusy = 0x1007;
constexpr uint16_t ErrRegBlockTooSmall = 0x1002;
constexpr uint16_t ReasonDestinationOutOfOrder = 0x349b;
constexpr uint16_t ReasonTimerExpiry = 0x34e6; // Q.850 cause 102: what the called side hears
constexpr uint16_t ReasonNoChannel = 0x34a2;   // cause 34, no circuit/channel available
constexpr uint16_t ReasonIncompatibleDestination = 0x34d8; // cause 88
constexpr uint16_t ErrCipValueUnknown = 0x3009;
constexpr uint16_t InfoAlertAlreadySent = 0x0003;

constexpr uint8_t kControllerMask = 0x7f; // bit 7 of the controller octet: external equipment
constexpr uint16_t kNcci = 1;             // one logical connection per PLCI
constexpr int kPlciOctets = 256;          // octet 0 means "no PLCI"
constexpr uint16_t kCipHighest = 28;
constexpr uint32_t kCipMaskAll = 0x00000001;
constexpr size_t kMaxBData = 2048;
constexpr uint16_t kMinBDataLen = 128;
// Data blocks that wait at the exchange for a receiver with no buffer free;
// beyond them the sender's DATA_B3_REQ is refused.
constexpr size_t kMaxWaitingBlocks = 8;

// Identity for the management requests.
constexpr char kManufacturer[] = "isdn-exchange";
constexpr char kSerial[] = "1000001"; // 7 visible characters fit
constexpr size_t kManufacturerField = 64;
constexpr size_t kSerialField = 8;
constexpr uint32_t kCapiMajor = 2, kCapiMinor = 0, kOwnMajor = 1, kOwnMinor = 0;
constexpr size_t kProfileSize = 64;
constexpr uint32_t kGlobalOptions = 0x0001;                     // internal controller
constexpr uint32_t kB1Support = 0x0003, kB2Support = 0x0003;    // HDLC, transparent / X.75, transparent
constexpr uint32_t kB3Support = 0x0001;                         // transparent

// Number types: bit 7 set ends the octet group.
constexpr uint8_t kCalledNumberType = 0x81;  // unknown type, ISDN plan
constexpr uint8_t kCallingNumberType = 0x01; // unknown type, ISDN plan, octet 3a follows
constexpr uint8_t kPresentationAllowed = 0x80;

// CONNECT_RESP Reject values
constexpr uint16_t kRejectAccept = 0;
constexpr uint16_t kRejectIgnore = 1;

// Register parameters after the control header: bufsize, maxLC, maxBlk, maxLen, version (low octet).
constexpr size_t kRegisterParams = 9;

uint8_t ControllerOf(uint32_t address) { return static_cast<uint8_t>(address & kControllerMask); }
uint8_t PlciOctetOf(uint32_t address) { return static_cast<uint8_t>(address >> 8); }
uint16_t NcciOf(uint32_t address) { return static_cast<uint16_t>(address >> 16); }

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
        return (ch >= '0' && ch <= '9') || ch == '*' || ch == '#';
    });
}

// Digits of a Called party number: after its one type octet. Only the
// calling number has an octet 3a (presentation), whatever bit 7 says here.
std::string_view CalledDigits(std::string_view contents) { return contents.substr(contents.empty() ? 0 : 1); }

// Q.931 5.2.5.3: of the causes the offered terminals gave, user busy outranks
// call rejected, which outranks any other; incompatible destination counts
// least. Within one rank the latest cause stands.
int Precedence(uint16_t reason)
{
    switch (reason) {
    case 0:
        return 0;
    case ReasonUserBusy:
        return 4;
    case ReasonCallRejected:
        return 3;
    case ReasonIncompatibleDestination:
        return 1;
    default:
        return 2;
    }
}

} // namespace

enum class B3State { None, Requested, Offered, Active, Releasing };

// One address on one line: what its applications hold together.
struct Switch::AddressUse
{
    int clients = 0;
    int registrations = 0;
    int plcis = 0;
};

struct Switch::Client
{
    ClientId id = 0;
    int line = kNoLine;
    AddressUse* peer = nullptr; // its address on its line
    bool registered = false;
    bool identified = false;
    uint16_t applId = 0;
    uint16_t maxBDataLen = 0;
    uint16_t maxBlocks = 1; // MaxBDataBlocks: DATA_B3_INDs it takes unanswered
    uint16_t maxCalls = 1;  // MaxLogicalConnection, within kMaxCallsPerApplication
    uint16_t plcis = 0;     // held until the application's DISCONNECT_RESP
    bool listening = false;
    uint32_t cipMask = 0;
    uint16_t nextNumber = 0;
    FrameAssembler in;
};

struct Switch::Line
{
    std::string number;
    bool answering = false;
    std::vector<Client*> clients; // in attach order: the order calls are offered
    std::array<std::unique_ptr<Plci>, kPlciOctets> plcis;
    uint8_t nextPlci = 1;
    int channelsInUse = 0; // connected calls of its applications
    // Element pointers stay valid as the map grows.
    std::unordered_map<std::string, AddressUse> peers;
};

// A DATA_B3_REQ waiting for the receiver to answer an earlier DATA_B3_IND.
struct Switch::Block
{
    ClientId from = 0;
    uint16_t number = 0;
    uint32_t ncci = 0;
    uint16_t handle = 0;
    uint16_t flags = 0;
    std::string data;
};

struct Switch::Plci
{
    int line = kNoLine;
    uint8_t octet = 0;
    Client* owner = nullptr; // null: the exchange's own answering party
    Call* call = nullptr;
    PlciState state = PlciState::Outgoing;
    B3State b3 = B3State::None;
    uint16_t nextHandle = 0;
    bool greeting = false; // caller waits for the answering party's DATA_B3_RESP
    uint16_t unanswered = 0;  // DATA_B3_INDs without their DATA_B3_RESP
    std::deque<Block> waiting; // for this application, while it has none free

    uint32_t Address() const { return capi::Address(kController, octet, 0); }
    uint32_t NcciAddress() const { return capi::Address(kController, octet, kNcci); }
};

struct Switch::Call
{
    uint64_t id = 0;
    Plci* caller = nullptr;
    std::vector<Plci*> offered;
    Plci* answerer = nullptr;
    int64_t deadline = -1; // while the called side has not answered
    bool alerted = false;
    uint16_t rejection = 0; // the weightiest cause an offered application gave
};

Switch::Switch(Output& out) : m_out(out), m_now(NowMs) {}
Switch::~Switch() = default;

int Switch::AddLine(const std::string& number)
{
    if (!AllDigits(number) || m_byNumber.count(number))
        return kNoLine;
    auto line = std::make_unique<Line>();
    line->number = number;
    m_lines.push_back(std::move(line));
    const int index = static_cast<int>(m_lines.size()) - 1;
    m_byNumber[number] = index;
    return index;
}

int Switch::AddAnsweringLine(const std::string& number)
{
    const int index = AddLine(number);
    if (index != kNoLine)
        m_lines[index]->answering = true;
    return index;
}

const std::string& Switch::LineNumber(int line) const { return m_lines.at(line)->number; }

ClientId Switch::Attach(int line, const std::string& peer)
{
    if (line < 0 || line >= LineCount())
        return 0;
    auto c = std::make_unique<Client>();
    c->id = m_nextClient++;
    c->line = line;
    c->peer = &m_lines[line]->peers[peer];
    ++c->peer->clients;
    m_lines[line]->clients.push_back(c.get());
    const ClientId id = c->id;
    m_clients.emplace(id, std::move(c));
    return id;
}

bool Switch::Registered(ClientId id) const
{
    const auto it = m_clients.find(id);
    return it != m_clients.end() && it->second->registered;
}

bool Switch::Identified(ClientId id) const
{
    const auto it = m_clients.find(id);
    return it != m_clients.end() && it->second->identified;
}

bool Switch::Feed(ClientId id, const uint8_t* data, size_t size)
{
    auto it = m_clients.find(id);
    if (it == m_clients.end())
        return false;
    Client& c = *it->second;
    c.in.Append(data, size);
    for (;;) {
        std::string_view payload;
        const auto result = c.in.Next(payload);
        if (result == FrameAssembler::Result::NeedMore)
            return true;
        if (result == FrameAssembler::Result::Bad || !HandleFrame(c, payload)) {
            if (m_log)
                m_log("c" + std::to_string(c.id) + " malformed frame, closing");
            Drop(c);
            return false;
        }
    }
}

void Switch::Detach(ClientId id)
{
    auto it = m_clients.find(id);
    if (it != m_clients.end())
        Drop(*it->second);
}

void Switch::Drop(Client& c)
{
    Line& line = *m_lines[c.line];
    // Clear this client's calls as a network clears a line that went dead.
    for (auto& slot : line.plcis) {
        if (!slot || slot->owner != &c)
            continue;
        Plci& p = *slot;
        if (p.call) {
            Call& call = *p.call;
            if (call.caller == &p) {
                if (m_observer)
                    m_observer->CallCleared(call.id, ReasonNormalClearing);
                ClearOthers(call, &p, 0, ReasonNormalClearing);
            } else if (call.answerer == &p) {
                ClearOthers(call, &p, ReasonDestinationOutOfOrder, 0);
            } else {
                Withdraw(p, 0);
            }
        }
        FreePlci(p);
    }
    auto& clients = line.clients;
    clients.erase(std::remove(clients.begin(), clients.end(), &c), clients.end());
    if (c.registered)
        --c.peer->registrations;
    if (--c.peer->clients == 0) {
        for (auto it = line.peers.begin(); it != line.peers.end(); ++it)
            if (&it->second == c.peer) {
                line.peers.erase(it);
                break;
            }
    }
    m_clients.erase(c.id);
}

SwitchStats Switch::Stats() const { return {m_clients.size(), m_plciCount, m_calls.size()}; }

bool Switch::HandleFrame(Client& c, std::string_view payload)
{
    if (m_log)
        Log(c, "in ", payload);
    if (IsControl(payload))
        return HandleControl(c, payload);
    return HandleMessage(c, payload);
}

bool Switch::HandleControl(Client& c, std::string_view payload)
{
    if (payload.size() < kControlHeaderSize)
        return false;
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    const uint16_t command = GetU16BE(p + kControlCommandOffset);
    const uint32_t controller = GetU32(p + kControlControllerOffset);

    FrameBuilder b;
    b.U16(0).U16(0).U16BE(ControlConf(command)).U16(0);
    switch (command) {
    case CtrlRegisterReq:
        if (!HandleRegister(c, b, payload))
            return false;
        break;
    case CtrlManufacturerReq: {
        std::string field(kManufacturer);
        field.resize(kManufacturerField, '\0');
        b.U8(static_cast<uint8_t>(kManufacturerField)).Bytes(field);
        break;
    }
    case CtrlVersionReq:
        b.U8(16).U32(kCapiMajor).U32(kCapiMinor).U32(kOwnMajor).U32(kOwnMinor);
        break;
    case CtrlSerialReq: {
        std::string field(kSerial);
        field.resize(kSerialField, '\0');
        b.U8(static_cast<uint8_t>(kSerialField)).Bytes(field);
        break;
    }
    case CtrlProfileReq:
        if (controller == 0) {
            b.U16(InfoOk).U16(1);
        } else {
            b.U16(controller == kController ? InfoOk : ErrIllegalController);
            b.U16(1).U16(static_cast<uint16_t>(m_limits.channels)).U32(kGlobalOptions).U32(kB1Support).U32(kB2Support).U32(kB3Support);
            b.Zeros(kProfileSize - 20);
        }
        break;
    default:
        // Not a request libcapi20 makes; a reply it could not read helps no one.
        return true;
    }
    if (command != CtrlRegisterReq)
        c.identified = true;
    Send(c, b.Finish());
    return true;
}

bool Switch::HandleRegister(Client& c, FrameBuilder& b, std::string_view payload)
{
    if (payload.size() < kControlHeaderSize + kRegisterParams)
        return false;
    Reader r(reinterpret_cast<const uint8_t*>(payload.data()) + kControlHeaderSize,
             payload.size() - kControlHeaderSize);
    uint16_t bufSize = 0, maxLc = 0, maxBlocks = 0, maxLen = 0;
    r.U16(bufSize);
    r.U16(maxLc);
    r.U16(maxBlocks);
    r.U16(maxLen);
    uint16_t info = InfoOk;
    if (c.registered)
        info = ErrRegInternalBusy; // one application per connection
    else if (maxLen < kMinBDataLen)
        info = ErrRegBlockTooSmall;
    else if (c.peer->registrations >= m_limits.clientRegistrations)
        info = ErrRegTooManyApplications;
    b.U16(info);
    if (info == InfoOk) {
        c.registered = true;
        c.identified = true;
        ++c.peer->registrations;
        c.maxBDataLen = maxLen;
        c.maxBlocks = std::max<uint16_t>(maxBlocks, 1);
        c.maxCalls = std::clamp<uint16_t>(maxLc, 1, kMaxCallsPerApplication);
    }
    return true;
}

bool Switch::HandleMessage(Client& c, std::string_view payload)
{
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    Reader r(p, payload.size());
    Header h;
    if (!ReadHeader(r, h) || h.length < kHeaderSize || h.length > payload.size())
        return false;
    if (!c.registered)
        return false;
    c.applId = h.applId;
    Reader params(p + kHeaderSize, h.length - kHeaderSize);

    switch (h.code()) {
    case ListenReq:
        OnListenReq(c, h, params);
        break;
    case ConnectReq:
        OnConnectReq(c, h, params);
        break;
    case ConnectResp:
        OnConnectResp(c, h, params);
        break;
    case AlertReq:
        OnAlertReq(c, h);
        break;
    case DisconnectReq:
        OnDisconnectReq(c, h);
        break;
    case DisconnectResp:
        OnDisconnectResp(c, h);
        break;
    case ConnectB3Req:
        OnConnectB3Req(c, h);
        break;
    case ConnectB3Resp:
        OnConnectB3Resp(c, h, params);
        break;
    case DisconnectB3Req:
        OnDisconnectB3Req(c, h);
        break;
    case DisconnectB3Resp:
        OnDisconnectB3Resp(c, h);
        break;
    case DataB3Req:
        OnDataB3Req(c, h, params, payload);
        break;
    case DataB3Resp:
        OnDataB3Resp(c, h);
        break;
    case InfoReq:
    case ResetB3Req:
    case Code(CmdSelectB, SubReq):
    case Code(CmdFacility, SubReq):
        OnPlainReq(c, h, params);
        break;
    default:
        // Every request is confirmed. Other responses (CONNECT_ACTIVE_RESP,
        // INFO_RESP, ...) need nothing back; indications and confirmations
        // from an application are nonsense.
        if (h.subcommand == SubReq)
            OnUnknownReq(c, h, params);
        break;
    }
    return true;
}

void Switch::OnListenReq(Client& c, const Header& h, Reader& r)
{
    uint32_t infoMask = 0, cipMask = 0, cipMask2 = 0;
    if (!r.U32(infoMask) || !r.U32(cipMask) || !r.U32(cipMask2))
        return Conf(c, h, ErrIllegalMessageParameter);
    if (ControllerOf(h.address) != kController)
        return Conf(c, h, ErrIllegalController);
    c.cipMask = cipMask;
    c.listening = cipMask != 0;
    Conf(c, h, InfoOk);
}

void Switch::OnConnectReq(Client& c, const Header& h, Reader& r)
{
    uint16_t cip = 0;
    std::string_view called, calling, calledSub, callingSub, bProtocol, bc, llc, hlc, additional;
    if (!r.U16(cip) || !ReadStruct(r, called) || !ReadStruct(r, calling) || !ReadStruct(r, calledSub) ||
        !ReadStruct(r, callingSub) || !ReadStruct(r, bProtocol) || !ReadStruct(r, bc) || !ReadStruct(r, llc) ||
        !ReadStruct(r, hlc) || !ReadStruct(r, additional))
        return Conf(c, h, ErrIllegalMessageParameter);
    if (ControllerOf(h.address) != kController)
        return Conf(c, h, ErrIllegalController);
    if (cip > kCipHighest)
        return Conf(c, h, ErrCipValueUnknown);
    if (AtCallLimit(c))
        return Conf(c, h, ErrOutOfPlci);

    auto call = std::make_unique<Call>();
    call->id = m_nextCall++;
    Plci* p = NewPlci(c.line, &c, call.get(), PlciState::Outgoing);
    if (!p)
        return Conf(c, h, ErrOutOfPlci);
    call->caller = p;
    Call& ref = *call;
    m_calls.emplace(ref.id, std::move(call));

    FrameBuilder b;
    b.Message(c.applId, ConnectConf, h.number, p->Address()).U16(InfoOk);
    Send(c, b.FinishCapi(b.PayloadSize()));
    Route(ref, cip, CalledDigits(called), callingSub);
}

void Switch::Route(Call& call, uint16_t cip, std::string_view digits, std::string_view callingSubaddress)
{
    Plci& caller = *call.caller;
    const Line& from = *m_lines[caller.line];
    if (m_observer)
        m_observer->CallSetup(call.id, from.number, digits, cip, callingSubaddress);

    // The caller's own line needs a B channel for the call to come up.
    if (m_lines[caller.line]->channelsInUse >= m_limits.channels)
        return Release(caller, ReasonNoChannel);
    const auto it = m_byNumber.find(std::string(digits));
    if (it == m_byNumber.end())
        return Release(caller, ReasonUnallocatedNumber);
    const int to = it->second;
    Line& line = *m_lines[to];

    if (line.answering) {
        Plci* answerer = NewPlci(to, nullptr, &call, PlciState::Offered);
        if (!answerer)
            return Release(caller, ReasonUserBusy);
        return Connect(call, *answerer);
    }
    if (line.channelsInUse >= m_limits.channels)
        return Release(caller, ReasonUserBusy);

    // Every listener gets its own PLCI first, so one that answers at once
    // (a call to its own line) cannot end the call under the loop. One that
    // wants the call but holds all it may is busy, as is a line out of PLCIs.
    bool busy = false;
    for (Client* listener : line.clients) {
        const bool wants = (listener->cipMask & kCipMaskAll) || (cip < 32 && (listener->cipMask & (1u << cip)));
        if (!listener->registered || !listener->listening || !wants)
            continue;
        Plci* offered = AtCallLimit(*listener) ? nullptr : NewPlci(to, listener, &call, PlciState::Offered);
        if (!offered) {
            busy = true;
            continue;
        }
        call.offered.push_back(offered);
    }
    if (call.offered.empty())
        return Release(caller, busy ? ReasonUserBusy : ReasonNoUserResponding);

    std::string calledNumber(1, static_cast<char>(kCalledNumberType));
    calledNumber.append(digits);
    std::string callingNumber{static_cast<char>(kCallingNumberType), static_cast<char>(kPresentationAllowed)};
    callingNumber += from.number;
    for (Plci* offered : call.offered) {
        Client& to_client = *offered->owner;
        FrameBuilder b;
        b.Message(to_client.applId, ConnectInd, to_client.nextNumber++, offered->Address());
        b.U16(cip).Struct(calledNumber).Struct(callingNumber).Struct({}).Struct(callingSubaddress);
        b.Struct({}).Struct({}).Struct({}).Struct({});
        Send(to_client, b.FinishCapi(b.PayloadSize()));
    }
    Arm(call, m_timeouts.setupMs);
}

void Switch::OnConnectResp(Client& c, const Header& h, Reader& r)
{
    uint16_t reject = 0;
    Plci* p = FindPlci(c, h.address);
    if (!p || p->state != PlciState::Offered || !p->call || !p->call->caller || !r.U16(reject))
        return;
    if (reject == kRejectAccept)
        return Accept(*p->call, *p);
    // Q.931 point-to-multipoint: one terminal's rejection ends only its part;
    // the call is cleared when nobody it was offered to is left.
    uint16_t cause = 0;
    if (reject != kRejectIgnore) {
        cause = RejectReason(reject);
        if (cause == 0)
            cause = ReasonCallRejected;
    }
    // The rejecting side hears of the clearing after the caller.
    Withdraw(*p, cause);
    Release(*p, ReasonNoCause);
}

bool Switch::ChannelFree(const Plci& a, const Plci* b) const
{
    const int la = a.line;
    const int lb = b && b->owner ? b->line : kNoLine;
    const int needA = 1 + (la == lb ? 1 : 0);
    if (m_lines[la]->channelsInUse + needA > m_limits.channels)
        return false;
    return lb == kNoLine || lb == la || m_lines[lb]->channelsInUse < m_limits.channels;
}

void Switch::Accept(Call& call, Plci& answerer)
{
    if (ChannelFree(answerer, call.caller))
        return Connect(call, answerer);
    // The channels went to other calls since the offer: this answer fails,
    // the others offered may still take the call.
    const bool ownLine = m_lines[answerer.line]->channelsInUse >= m_limits.channels;
    Withdraw(answerer, ownLine ? uint16_t(ReasonUserBusy) : ReasonNoChannel);
    Release(answerer, ReasonNoChannel);
}

void Switch::Connect(Call& call, Plci& answerer)
{
    Disarm(call);
    Unlink(answerer);
    answerer.call = &call;
    call.answerer = &answerer;
    // Everyone else who was offered the call loses it.
    const auto others = call.offered;
    call.offered.clear();
    for (Plci* other : others) {
        other->call = nullptr;
        Release(*other, ReasonAnotherApplication);
    }
    SetState(answerer, PlciState::Active);
    SetState(*call.caller, PlciState::Active);
    if (m_observer)
        m_observer->CallConnected(call.id);
    Ind(*call.caller, ConnectActiveInd, call.caller->Address(), 0);
    if (answerer.owner)
        Ind(answerer, ConnectActiveInd, answerer.Address(), 0);
}

void Switch::OnAlertReq(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (!p)
        return Conf(c, h, ErrIllegalIdentifier);
    if (p->state != PlciState::Offered || !p->call)
        return Conf(c, h, ErrMessageNotSupportedInState);
    Call& call = *p->call;
    if (call.alerted)
        return Conf(c, h, InfoAlertAlreadySent); // the caller hears ringing already
    Conf(c, h, InfoOk);
    // The caller now hears ringing, and waits longer for the answer.
    call.alerted = true;
    Arm(call, m_timeouts.alertMs);
}

void Switch::OnDisconnectReq(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (!p)
        return Conf(c, h, ErrIllegalIdentifier);
    if (p->state == PlciState::Releasing)
        return Conf(c, h, ErrMessageNotSupportedInState);
    Conf(c, h, InfoOk);
    if (p->call) {
        Call& call = *p->call;
        if (p->state == PlciState::Offered)
            Withdraw(*p, 0);
        else
            ClearOthers(call, p, ReasonNormalClearing, ReasonNormalClearing);
    }
    Release(*p, ReasonNoCause);
}

void Switch::OnDisconnectResp(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (p && p->state == PlciState::Releasing)
        FreePlci(*p);
}

void Switch::OnConnectB3Req(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (!p)
        return Conf(c, h, ErrIllegalIdentifier);
    Plci* peer = Peer(*p);
    if (p->state != PlciState::Active || p->b3 != B3State::None || !peer || peer->b3 != B3State::None)
        return Conf(c, h, ErrMessageNotSupportedInState);
    FrameBuilder b;
    b.Message(c.applId, ConnectB3Conf, h.number, p->NcciAddress()).U16(InfoOk);
    Send(c, b.FinishCapi(b.PayloadSize()));
    p->b3 = B3State::Requested;
    if (!peer->owner)
        return ConnectB3(*p);
    peer->b3 = B3State::Offered;
    FrameBuilder ind;
    Client& other = *peer->owner;
    ind.Message(other.applId, ConnectB3Ind, other.nextNumber++, peer->NcciAddress()).Struct({});
    Send(other, ind.FinishCapi(ind.PayloadSize()));
}

void Switch::OnConnectB3Resp(Client& c, const Header& h, Reader& r)
{
    uint16_t reject = 0;
    Plci* p = FindPlci(c, h.address);
    if (!p || p->b3 != B3State::Offered || NcciOf(h.address) != kNcci || !r.U16(reject))
        return;
    Plci* peer = Peer(*p);
    if (!peer || peer->b3 != B3State::Requested) {
        p->b3 = B3State::None;
        return;
    }
    if (reject != kRejectAccept) {
        p->b3 = B3State::None;
        peer->b3 = B3State::Releasing;
        return Ind(*peer, DisconnectB3Ind, peer->NcciAddress(), 0);
    }
    p->b3 = B3State::Active;
    Ind(*p, ConnectB3ActiveInd, p->NcciAddress(), 0);
    ConnectB3(*peer);
}

// The requesting side's logical connection comes up.
void Switch::ConnectB3(Plci& requester)
{
    requester.b3 = B3State::Active;
    Ind(requester, ConnectB3ActiveInd, requester.NcciAddress(), 0);
    Plci* peer = Peer(requester);
    if (peer && !peer->owner)
        Greet(requester);
}

void Switch::Greet(Plci& caller)
{
    Client& c = *caller.owner;
    const std::string_view text = std::string_view(m_greeting).substr(0, c.maxBDataLen);
    FrameBuilder b;
    // The 22-octet form: Data (32-bit pointer) left 0, data right after the message.
    b.Message(c.applId, DataB3Ind, c.nextNumber++, caller.NcciAddress());
    b.U32(0).U16(static_cast<uint16_t>(text.size())).U16(caller.nextHandle++).U16(0);
    const size_t capiLength = b.PayloadSize();
    b.Bytes(text);
    caller.greeting = true;
    ++caller.unanswered;
    Send(c, b.FinishCapi(capiLength));
}

void Switch::OnDisconnectB3Req(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (!p || NcciOf(h.address) != kNcci)
        return Conf(c, h, ErrIllegalIdentifier);
    if (p->b3 == B3State::None || p->b3 == B3State::Releasing)
        return Conf(c, h, ErrMessageNotSupportedInState);
    Conf(c, h, InfoOk);
    p->b3 = B3State::Releasing;
    Ind(*p, DisconnectB3Ind, p->NcciAddress(), 0);
    Plci* peer = Peer(*p);
    if (!peer)
        return;
    if (peer->owner) {
        if (peer->b3 != B3State::None && peer->b3 != B3State::Releasing) {
            peer->b3 = B3State::Releasing;
            Ind(*peer, DisconnectB3Ind, peer->NcciAddress(), 0);
        }
        return;
    }
    // The answering party hangs up once the data link is gone.
    if (p->call)
        ClearOthers(*p->call, nullptr, ReasonNormalClearing, 0);
}

void Switch::OnDisconnectB3Resp(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (p && p->b3 == B3State::Releasing)
        p->b3 = B3State::None;
}

void Switch::OnDataB3Req(Client& c, const Header& h, Reader& r, std::string_view payload)
{
    uint32_t pointer = 0;
    uint16_t length = 0, handle = 0, flags = 0;
    if (!r.U32(pointer) || !r.U16(length) || !r.U16(handle) || !r.U16(flags))
        return Conf(c, h, ErrIllegalMessageParameter);
    auto conf = [&](uint16_t info) { DataConf(c.id, h.number, h.address, handle, info); };
    // The data follows the message; both pointer fields mean nothing here.
    if (length > payload.size() - h.length)
        return conf(ErrIllegalMessageParameter);
    const std::string_view data = payload.substr(h.length, length);
    Plci* p = FindPlci(c, h.address);
    if (!p || NcciOf(h.address) != kNcci)
        return conf(ErrIllegalIdentifier);
    if (p->b3 != B3State::Active)
        return conf(ErrMessageNotSupportedInState);
    Plci* peer = Peer(*p);
    if (length > kMaxBData || (peer && peer->owner && length > peer->owner->maxBDataLen))
        return conf(ErrDataLengthNotSupported);
    if (!peer || !peer->owner || peer->b3 != B3State::Active)
        return conf(InfoOk);
    Block block{c.id, h.number, h.address, handle, flags, std::string(data)};
    // The receiver holds no more unanswered DATA_B3_INDs than it registered
    // for (MaxBDataBlocks): libcapi20 has a buffer for each and no more. The
    // sender hears of its block when the block goes on.
    if (peer->waiting.empty() && peer->unanswered < peer->owner->maxBlocks)
        return Deliver(*peer, block);
    if (peer->waiting.size() >= kMaxWaitingBlocks)
        return conf(ErrQueueFull);
    peer->waiting.push_back(std::move(block));
}

void Switch::Deliver(Plci& to, Block& block)
{
    DataConf(block.from, block.number, block.ncci, block.handle, InfoOk);
    Client& other = *to.owner;
    FrameBuilder b;
    b.Message(other.applId, DataB3Ind, other.nextNumber++, to.NcciAddress());
    b.U32(0).U16(static_cast<uint16_t>(block.data.size())).U16(to.nextHandle++).U16(block.flags);
    const size_t capiLength = b.PayloadSize();
    b.Bytes(block.data);
    ++to.unanswered;
    Send(other, b.FinishCapi(capiLength));
}

void Switch::DataConf(ClientId client, uint16_t number, uint32_t ncci, uint16_t handle, uint16_t info)
{
    auto it = m_clients.find(client);
    if (it == m_clients.end())
        return;
    Client& c = *it->second;
    FrameBuilder b;
    b.Message(c.applId, DataB3Conf, number, ncci).U16(handle).U16(info);
    Send(c, b.FinishCapi(b.PayloadSize()));
}

void Switch::OnDataB3Resp(Client& c, const Header& h)
{
    Plci* p = FindPlci(c, h.address);
    if (!p)
        return;
    // Zoemlijn answers with handle 0, so count the answers, not the handles.
    if (p->unanswered > 0)
        --p->unanswered;
    while (!p->waiting.empty() && p->unanswered < c.maxBlocks && p->b3 == B3State::Active) {
        Block block = std::move(p->waiting.front());
        p->waiting.pop_front();
        Deliver(*p, block);
    }
    if (!p->greeting || !p->call)
        return;
    p->greeting = false;
    // The answering party said its piece and hangs up.
    ClearOthers(*p->call, nullptr, ReasonNormalClearing, 0);
}

void Switch::OnPlainReq(Client& c, const Header& h, Reader& r)
{
    if (h.code() == Code(CmdFacility, SubReq)) {
        // FACILITY_CONF: Info, the request's Facility selector, an empty
        // Facility confirmation parameter.
        uint16_t selector = 0;
        const bool ok = r.U16(selector);
        FrameBuilder b;
        b.Message(c.applId, Code(CmdFacility, SubConf), h.number, h.address);
        b.U16(ok ? ErrFacilityNotSupported : uint16_t(ErrIllegalMessageParameter)).U16(selector).Struct({});
        return Send(c, b.FinishCapi(b.PayloadSize()));
    }
    if (PlciOctetOf(h.address) == 0)
        return Conf(c, h, ControllerOf(h.address) == kController ? InfoOk : ErrIllegalController);
    Plci* p = FindPlci(c, h.address);
    if (!p)
        return Conf(c, h, ErrIllegalIdentifier);
    const bool ok = h.code() == InfoReq ? p->state != PlciState::Releasing
                  : h.code() == ResetB3Req ? p->b3 == B3State::Active
                                           : p->state == PlciState::Active && p->b3 == B3State::None;
    Conf(c, h, ok ? InfoOk : ErrMessageNotSupportedInState);
}

void Switch::OnUnknownReq(Client& c, const Header& h, Reader& r)
{
    if (h.command == CmdManufacturer) {
        // MANUFACTURER_CONF has no Info: ManuID, Class and Function come back
        // with an empty manufacturer-specific part, nothing done.
        uint32_t manuId = 0, cls = 0, function = 0;
        r.U32(manuId);
        r.U32(cls);
        r.U32(function);
        FrameBuilder b;
        b.Message(c.applId, Code(CmdManufacturer, SubConf), h.number, h.address);
        b.U32(manuId).U32(cls).U32(function).Struct({});
        return Send(c, b.FinishCapi(b.PayloadSize()));
    }
    Conf(c, h, ErrIllegalCommand);
}

void Switch::Withdraw(Plci& p, uint16_t cause)
{
    Call* call = p.call;
    if (!call)
        return;
    if (Precedence(cause) > 0 && Precedence(cause) >= Precedence(call->rejection))
        call->rejection = cause;
    Plci* caller = call->caller;
    const bool last = !call->answerer && call->offered.size() == 1 && call->offered.front() == &p;
    const uint16_t reason = call->rejection ? call->rejection : uint16_t(ReasonNoUserResponding);
    Unlink(p); // the call outlives this while it has a caller
    if (last && caller)
        Release(*caller, reason);
}

void Switch::ClearOthers(Call& call, const Plci* except, uint16_t callerReason, uint16_t otherReason)
{
    // The call goes away with its last party: collect first, touch it no more.
    std::vector<std::pair<Plci*, uint16_t>> parties;
    for (Plci* p : call.offered)
        parties.emplace_back(p, otherReason);
    if (call.answerer)
        parties.emplace_back(call.answerer, otherReason);
    if (call.caller)
        parties.emplace_back(call.caller, callerReason);
    for (auto [p, reason] : parties)
        if (p != except)
            Release(*p, reason);
}

void Switch::Release(Plci& p, uint16_t reason)
{
    Call* call = p.call;
    if (call && call->caller == &p && m_observer)
        m_observer->CallCleared(call->id, reason);
    Unlink(p);
    if (!p.owner)
        return FreePlci(p);
    if (p.b3 != B3State::None && p.b3 != B3State::Releasing)
        Ind(p, DisconnectB3Ind, p.NcciAddress(), 0);
    p.b3 = B3State::None;
    p.greeting = false;
    p.waiting.clear();
    p.unanswered = 0;
    SetState(p, PlciState::Releasing);
    Ind(p, DisconnectInd, p.Address(), reason);
}

void Switch::Unlink(Plci& p)
{
    Call* call = p.call;
    if (!call)
        return;
    p.call = nullptr;
    if (call->caller == &p)
        call->caller = nullptr;
    if (call->answerer == &p)
        call->answerer = nullptr;
    auto& offered = call->offered;
    offered.erase(std::remove(offered.begin(), offered.end(), &p), offered.end());
    if (!call->caller && !call->answerer && call->offered.empty()) {
        Disarm(*call);
        m_calls.erase(call->id);
    }
}

void Switch::Arm(Call& call, int64_t ms)
{
    Disarm(call);
    call.deadline = m_now() + std::max<int64_t>(ms, 0);
    m_deadlines.emplace(call.deadline, call.id);
}

void Switch::Disarm(Call& call)
{
    if (call.deadline < 0)
        return;
    m_deadlines.erase({call.deadline, call.id});
    call.deadline = -1;
}

void Switch::Expire()
{
    const int64_t now = m_now();
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const uint64_t id = m_deadlines.begin()->second;
        auto it = m_calls.find(id);
        if (it == m_calls.end()) {
            m_deadlines.erase(m_deadlines.begin());
            continue;
        }
        Call& call = *it->second;
        Disarm(call);
        if (m_log)
            m_log("call " + std::to_string(id) + (call.alerted ? " not answered" : " no user responding") +
                  ", clearing");
        // Q.931: the caller hears cause 19 when it rang, else the weightiest
        // cause a terminal gave, else 18; the called side hears cause 102.
        const uint16_t reason = call.alerted      ? uint16_t(ReasonNoAnswer)
                              : call.rejection ? call.rejection
                                               : uint16_t(ReasonNoUserResponding);
        ClearOthers(call, nullptr, reason, ReasonTimerExpiry);
    }
}

// A call lasts from CONNECT_REQ or CONNECT_IND until the application's
// DISCONNECT_RESP, so one that stopped answering stays at its limit.
bool Switch::AtCallLimit(const Client& c) const
{
    return c.plcis >= c.maxCalls || c.peer->plcis >= m_limits.clientCalls;
}

void Switch::SetState(Plci& p, PlciState state)
{
    // A connected call of an application holds a B channel of its line.
    const bool had = p.owner && p.state == PlciState::Active;
    const bool has = p.owner && state == PlciState::Active;
    if (had != has)
        m_lines[p.line]->channelsInUse += has ? 1 : -1;
    p.state = state;
}

Switch::Plci* Switch::NewPlci(int line, Client* owner, Call* call, PlciState state)
{
    Line& l = *m_lines[line];
    for (int tries = 1; tries < kPlciOctets; ++tries) {
        const uint8_t octet = l.nextPlci;
        l.nextPlci = static_cast<uint8_t>(octet == kPlciOctets - 1 ? 1 : octet + 1);
        if (l.plcis[octet])
            continue;
        auto p = std::make_unique<Plci>();
        p->line = line;
        p->octet = octet;
        p->owner = owner;
        p->call = call;
        p->state = state;
        l.plcis[octet] = std::move(p);
        ++m_plciCount;
        if (owner) {
            ++owner->plcis;
            ++owner->peer->plcis;
        }
        return l.plcis[octet].get();
    }
    return nullptr;
}

void Switch::FreePlci(Plci& p)
{
    Unlink(p);
    SetState(p, PlciState::Releasing);
    --m_plciCount;
    if (p.owner) {
        --p.owner->plcis;
        --p.owner->peer->plcis;
    }
    m_lines[p.line]->plcis[p.octet].reset();
}

Switch::Plci* Switch::FindPlci(Client& c, uint32_t address)
{
    if (ControllerOf(address) != kController)
        return nullptr;
    Plci* p = m_lines[c.line]->plcis[PlciOctetOf(address)].get();
    return p && p->owner == &c ? p : nullptr;
}

Switch::Plci* Switch::Peer(const Plci& p)
{
    if (!p.call)
        return nullptr;
    if (p.call->caller == &p)
        return p.call->answerer;
    if (p.call->answerer == &p)
        return p.call->caller;
    return nullptr;
}

void Switch::Send(Client& c, std::string_view frame)
{
    if (m_log)
        Log(c, "out", frame.substr(kPrefixSize));
    m_out.Send(c.id, frame);
}

void Switch::Conf(Client& c, const Header& req, uint16_t info)
{
    FrameBuilder b;
    b.Message(c.applId, Code(req.command, SubConf), req.number, req.address).U16(info);
    Send(c, b.FinishCapi(b.PayloadSize()));
}

// Indications with nothing or only a Reason after the address.
void Switch::Ind(Plci& p, uint16_t code, uint32_t address, uint16_t reason)
{
    if (!p.owner)
        return;
    Client& c = *p.owner;
    FrameBuilder b;
    b.Message(c.applId, code, c.nextNumber++, address);
    if (code == DisconnectInd)
        b.U16(reason);
    else if (code == DisconnectB3Ind)
        b.U16(reason).Struct({});
    else if (code == ConnectB3ActiveInd)
        b.Struct({});
    else if (code == ConnectActiveInd)
        b.Struct({}).Struct({}).Struct({}); // Connected number, Connected subaddress, LLC
    Send(c, b.FinishCapi(b.PayloadSize()));
}

void Switch::Log(const Client& c, const char* dir, std::string_view payload)
{
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    char line[160];
    const std::string& number = m_lines[c.line]->number;
    if (IsControl(payload)) {
        const uint16_t command = payload.size() >= kControlCommandOffset + 2 ? GetU16BE(p + kControlCommandOffset) : 0;
        std::snprintf(line, sizeof line, "%s c%llu %s control 0x%04x", dir, static_cast<unsigned long long>(c.id),
                      number.c_str(), command);
        return m_log(line);
    }
    Reader r(p, payload.size());
    Header h;
    if (!ReadHeader(r, h)) {
        std::snprintf(line, sizeof line, "%s c%llu %s short frame (%zu octets)", dir,
                      static_cast<unsigned long long>(c.id), number.c_str(), payload.size());
        return m_log(line);
    }
    const uint16_t code = h.code();
    std::string extra;
    // Info of confirmations, Reason of the clearing indications.
    const size_t valueAt = code == DataB3Conf ? 14 : 12;
    const bool hasValue = h.subcommand == SubConf || code == DisconnectInd || code == DisconnectB3Ind;
    if (hasValue && payload.size() >= valueAt + 2) {
        const uint16_t value = GetU16(p + valueAt);
        char buf[80];
        std::snprintf(buf, sizeof buf, " %s 0x%04x %.*s", h.subcommand == SubConf ? "info" : "reason", value,
                      static_cast<int>(InfoText(value).size()), InfoText(value).data());
        extra = buf;
    }
    std::snprintf(line, sizeof line, "%s c%llu %s %s addr 0x%08x%s", dir, static_cast<unsigned long long>(c.id),
                  number.c_str(), MessageName(code).c_str(), h.address, extra.c_str());
    m_log(line);
}

} // namespace exchange
