#include "CapiRequests.h"

#include "CapiDefs.h"

#include <cstring>

namespace capi {

namespace {

// Type of number unknown, numbering plan ISDN/telephony, extension bit set.
constexpr uint8_t kTypeOctet = 0x81;

size_t Finish(uint8_t* buffer, uint16_t code, uint16_t applId, uint32_t address, size_t length)
{
    Header h;
    h.length = static_cast<uint16_t>(length);
    h.applId = applId;
    h.command = CommandOf(code);
    h.subcommand = SubcommandOf(code);
    h.address = address;
    PutHeader(buffer, h);
    return length;
}

} // namespace

size_t EncodeListenReq(uint8_t* buffer, uint16_t applId, uint32_t address)
{
    std::memset(buffer, 0, kMessageBufferSize);
    PutU32(buffer + 12, 0);          // Info mask: no INFO_IND
    PutU32(buffer + 16, 0x00000001); // CIP mask: every service
    PutU32(buffer + 20, 0);          // CIP mask 2
    // 24, 25: two empty structures, already zero
    return Finish(buffer, ListenReq, applId, address, 26);
}

size_t EncodeConnectReq(uint8_t* buffer, uint16_t applId, uint32_t address, uint16_t cip,
                        std::string_view number, std::string_view text)
{
    if (number.size() > kMaxFieldLength || text.size() > kMaxFieldLength)
        return 0;
    std::memset(buffer, 0, kMessageBufferSize);
    uint8_t* p = buffer + 12;
    PutU16(p, cip);
    p += 2;
    *p++ = static_cast<uint8_t>(number.size() + 1);
    *p++ = kTypeOctet;
    for (char c : number)
        *p++ = static_cast<uint8_t>(c) & 0x3f; // digits, * and # keep their values
    *p++ = 0; // Calling party number
    *p++ = 0; // Called party subaddress
    *p++ = static_cast<uint8_t>(text.size() + 1);
    *p++ = kTypeOctet;
    std::memcpy(p, text.data(), text.size());
    p += text.size();
    p += 5; // B protocol, BC, LLC, HLC, Additional Info: empty
    return Finish(buffer, ConnectReq, applId, address, static_cast<size_t>(p - buffer));
}

size_t EncodeSubmitMessage(uint8_t* buffer, uint16_t code, uint16_t applId, uint32_t address,
                           uint16_t dataHandle)
{
    std::memset(buffer, 0, kMessageBufferSize);
    size_t length = 0;
    switch (code) {
    case ConnectResp:
        PutU16(buffer + 12, kRejectFacility);
        length = 19; // and five empty structures
        break;
    case ConnectActiveResp:
    case DisconnectResp:
    case ConnectB3ActiveResp:
    case DisconnectB3Resp:
        length = 12;
        break;
    case InfoResp:
    case ResetB3Resp:
        length = 14; // two zero octets
        break;
    case ConnectB3Req:
        length = 13; // NCPI empty
        break;
    case ConnectB3Resp:
        PutU16(buffer + 12, 0); // accept
        length = 15;
        break;
    case DataB3Resp:
        // The driver frees the block the handle names (libcapi20 maps it back
        // to its own buffer), so it must be the indication's.
        PutU16(buffer + 12, dataHandle);
        length = 14;
        break;
    default:
        return 0;
    }
    return Finish(buffer, code, applId, address, length);
}

} // namespace capi
