// libFuzzer target: arbitrary byte streams from three clients into the
// switch. Input: chunks of [selector][length][bytes]; the selector picks a
// client, drops and reconnects one, or lets time pass. Every frame the switch sends must be
// well formed, and once all clients are gone nothing may be left.
#include "Switch.h"

#include <cstdlib>

namespace {

using exchange::ClientId;

class CheckingOutput : public exchange::Output
{
public:
    void Send(ClientId, std::string_view frame) override
    {
        const auto* p = reinterpret_cast<const uint8_t*>(frame.data());
        if (frame.size() < exchange::kPrefixSize + 8 || frame.size() > exchange::kMaxFrame ||
            capi::GetU16BE(p) != frame.size())
            std::abort();
        const std::string_view payload = frame.substr(exchange::kPrefixSize);
        if (exchange::IsControl(payload) && frame.size() > exchange::kMaxControlReply)
            std::abort();
        if (!exchange::IsControl(payload) && capi::GetU16(p + exchange::kPrefixSize) > payload.size())
            std::abort();
    }
};

constexpr int kClients = 3;
// REGISTER (MaxBDataLen 128), then LISTEN_REQ for every service.
constexpr uint8_t kRegister[] = {0x00, 0x17, 0, 0, 0, 0, 0xf2, 0xff, 0, 0, 0, 0, 0, 0,
                                 0x00, 0x08, 0x02, 0x00, 0x07, 0x00, 0x80, 0x00, 0x02};
constexpr uint8_t kListen[] = {0x00, 0x1c, 0x1a, 0x00, 0x01, 0x00, 0x05, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                               0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckingOutput out;
    exchange::Switch sw(out);
    int64_t now = 0;
    sw.SetClock([&now] { return now; });
    sw.SetTimeouts({40, 200});
    const int lineA = sw.AddLine("1");
    const int lineB = sw.AddLine("2");
    sw.AddAnsweringLine("3");
    const int lineOf[kClients] = {lineA, lineB, lineA};
    ClientId clients[kClients];
    for (int i = 0; i < kClients; ++i) {
        clients[i] = sw.Attach(lineOf[i]);
        sw.Feed(clients[i], kRegister, sizeof kRegister);
        if (i != 2)
            sw.Feed(clients[i], kListen, sizeof kListen);
    }

    size_t pos = 0;
    while (size - pos >= 2) {
        const uint8_t selector = data[pos];
        const size_t length = data[pos + 1];
        pos += 2;
        const size_t take = length < size - pos ? length : size - pos;
        const int which = selector % (kClients + 1);
        if (which == kClients && (selector & 0x80)) {
            now += static_cast<int64_t>(length); // the length octet is milliseconds here
            sw.Expire();
            continue;
        }
        if (which == kClients) {
            const int victim = (selector >> 2) % kClients;
            sw.Detach(clients[victim]);
            clients[victim] = sw.Attach(lineOf[victim]);
            sw.Feed(clients[victim], kRegister, sizeof kRegister);
        } else if (!sw.Feed(clients[which], data + pos, take)) {
            clients[which] = sw.Attach(lineOf[which]);
        }
        pos += take;
    }
    for (ClientId id : clients)
        sw.Detach(id);
    const auto stats = sw.Stats();
    if (stats.clients || stats.plcis || stats.calls || sw.NextDeadline() >= 0)
        std::abort();
    return 0;
}
