// CAPI 2.0 (ETS 300 838) numbers with names, and the message header that
// every message shares. Shared by the link and by isdn-exchange.
#pragma once

#include "CapiCoding.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace capi {

// Commands (message offset 4)
enum : uint8_t {
    CmdAlert = 0x01,
    CmdConnect = 0x02,
    CmdConnectActive = 0x03,
    CmdDisconnect = 0x04,
    CmdListen = 0x05,
    CmdInfo = 0x08,
    CmdFacility = 0x80,
    CmdSelectB = 0x41,
    CmdManufacturer = 0xff,
    CmdConnectB3 = 0x82,
    CmdConnectB3Active = 0x83,
    CmdDisconnectB3 = 0x84,
    CmdDataB3 = 0x86,
    CmdResetB3 = 0x87,
    CmdConnectB3T90Active = 0x88,
};

// Subcommands (message offset 5)
enum : uint8_t { SubReq = 0x80, SubConf = 0x81, SubInd = 0x82, SubResp = 0x83 };

// A message code as it reads from offset 4 as one 16-bit value: subcommand
// high, command low (CONNECT_REQ = 0x8002).
constexpr uint16_t Code(uint8_t command, uint8_t subcommand)
{
    return static_cast<uint16_t>((subcommand << 8) | command);
}
constexpr uint8_t CommandOf(uint16_t code) { return static_cast<uint8_t>(code); }
constexpr uint8_t SubcommandOf(uint16_t code) { return static_cast<uint8_t>(code >> 8); }

enum : uint16_t {
    AlertReq = Code(CmdAlert, SubReq),
    AlertConf = Code(CmdAlert, SubConf),
    ConnectReq = Code(CmdConnect, SubReq),
    ConnectConf = Code(CmdConnect, SubConf),
    ConnectInd = Code(CmdConnect, SubInd),
    ConnectResp = Code(CmdConnect, SubResp),
    ConnectActiveInd = Code(CmdConnectActive, SubInd),
    ConnectActiveResp = Code(CmdConnectActive, SubResp),
    DisconnectReq = Code(CmdDisconnect, SubReq),
    DisconnectConf = Code(CmdDisconnect, SubConf),
    DisconnectInd = Code(CmdDisconnect, SubInd),
    DisconnectResp = Code(CmdDisconnect, SubResp),
    ListenReq = Code(CmdListen, SubReq),
    ListenConf = Code(CmdListen, SubConf),
    InfoReq = Code(CmdInfo, SubReq),
    InfoConf = Code(CmdInfo, SubConf),
    InfoInd = Code(CmdInfo, SubInd),
    InfoResp = Code(CmdInfo, SubResp),
    ConnectB3Req = Code(CmdConnectB3, SubReq),
    ConnectB3Conf = Code(CmdConnectB3, SubConf),
    ConnectB3Ind = Code(CmdConnectB3, SubInd),
    ConnectB3Resp = Code(CmdConnectB3, SubResp),
    ConnectB3ActiveInd = Code(CmdConnectB3Active, SubInd),
    ConnectB3ActiveResp = Code(CmdConnectB3Active, SubResp),
    DisconnectB3Req = Code(CmdDisconnectB3, SubReq),
    DisconnectB3Conf = Code(CmdDisconnectB3, SubConf),
    DisconnectB3Ind = Code(CmdDisconnectB3, SubInd),
    DisconnectB3Resp = Code(CmdDisconnectB3, SubResp),
    DataB3Req = Code(CmdDataB3, SubReq),
    DataB3Conf = Code(CmdDataB3, SubConf),
    DataB3Ind = Code(CmdDataB3, SubInd),
    DataB3Resp = Code(CmdDataB3, SubResp),
    ResetB3Req = Code(CmdResetB3, SubReq),
    ResetB3Conf = Code(CmdResetB3, SubConf),
    ResetB3Ind = Code(CmdResetB3, SubInd),
    ResetB3Resp = Code(CmdResetB3, SubResp),
};

// Info and Reason values the program and the exchange use.
enum : uint16_t {
    InfoOk = 0x0000,
    ErrRegTooManyApplications = 0x1001,
    ErrRegOsResource = 0x1008,
    ErrRegNotInstalled = 0x1009,
    ErrIllegalApplId = 0x1101,
    ErrIllegalCommand = 0x1102,
    ErrQueueFull = 0x1103,
    ErrQueueEmpty = 0x1104,
    ErrQueueOverflow = 0x1105,
    ErrMsgOsResource = 0x1108,
    ErrMsgNotInstalled = 0x1109,
    ErrIllegalController = 0x2002,
    ErrIllegalIdentifier = 0x2002, // illegal controller/PLCI/NCCI
    ErrOutOfPlci = 0x2003,
    ErrOutOfNcci = 0x2004,
    ErrOutOfListen = 0x2005,
    ErrIllegalMessageParameter = 0x2007,
    ErrMessageNotSupportedInState = 0x2001,
    ErrCipNotSupported = 0x300a,
    ReasonNoCause = 0x0000,
    ReasonAnotherApplication = 0x3304,
    ReasonNormalClearing = 0x3490,
    ReasonUnallocatedNumber = 0x3481,
    ReasonUserBusy = 0x3491,
    ReasonNoUserResponding = 0x3492,
    ReasonNoAnswer = 0x3493,
    ReasonCallRejected = 0x3495,
    ReasonFacilityRejected = 0x349d,
};

// Network cause (Q.850) a CONNECT_RESP Reject value stands for, as the
// caller's DISCONNECT_IND Reason (0x3480 | cause); 0 for Reject 0 and 1.
uint16_t RejectReason(uint16_t reject);

// "CONNECT_REQ" for 0x8002; "0x%04X" for an unknown code.
std::string MessageName(uint16_t code);
// The standard's short text for an Info or Reason value, or "" when unknown.
std::string_view InfoText(uint16_t info);

// The header every message starts with.
constexpr size_t kHeaderSize = 12;

struct Header
{
    uint16_t length = 0;
    uint16_t applId = 0;
    uint8_t command = 0;
    uint8_t subcommand = 0;
    uint16_t number = 0;
    uint32_t address = 0; // controller | PLCI << 8 | NCCI << 16

    uint16_t code() const { return Code(command, subcommand); }
};

// Header layout, one field per line:
//   0  u16 total length, header included
//   2  u16 application id
//   4  u8  command
//   5  u8  subcommand
//   6  u16 message number
//   8  u32 controller / PLCI / NCCI
void PutHeader(uint8_t* msg, const Header& h);
bool ReadHeader(Reader& r, Header& h);

constexpr uint32_t Address(uint8_t controller, uint8_t plci, uint16_t ncci)
{
    return static_cast<uint32_t>(controller) | (static_cast<uint32_t>(plci) << 8) |
           (static_cast<uint32_t>(ncci) << 16);
}

// Writes a structure (length octet + contents); returns the octets written.
// The caller guarantees contents.size() <= 255 and the room.
size_t PutStruct(uint8_t* p, std::string_view contents);

} // namespace capi
