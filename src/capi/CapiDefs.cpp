#include "CapiDefs.h"

#include <array>
#include <cstdio>

namespace capi {

namespace {

struct NamedValue
{
    uint16_t value;
    const char* name;
};

constexpr NamedValue kCommandNames[] = {
    {CmdAlert, "ALERT"},
    {CmdConnect, "CONNECT"},
    {CmdConnectActive, "CONNECT_ACTIVE"},
    {CmdDisconnect, "DISCONNECT"},
    {CmdListen, "LISTEN"},
    {CmdInfo, "INFO"},
    {CmdFacility, "FACILITY"},
    {CmdSelectB, "SELECT_B_PROTOCOL"},
    {CmdManufacturer, "MANUFACTURER"},
    {CmdConnectB3, "CONNECT_B3"},
    {CmdConnectB3Active, "CONNECT_B3_ACTIVE"},
    {CmdDisconnectB3, "DISCONNECT_B3"},
    {CmdDataB3, "DATA_B3"},
    {CmdResetB3, "RESET_B3"},
    {CmdConnectB3T90Active, "CONNECT_B3_T90_ACTIVE"},
};

constexpr NamedValue kSubcommandNames[] = {
    {SubReq, "REQ"},
    {SubConf, "CONF"},
    {SubInd, "IND"},
    {SubResp, "RESP"},
};

constexpr NamedValue kInfoTexts[] = {
    {0x0000, "no error"},
    {0x1001, "too many applications"},
    {0x1002, "logical block size too small"},
    {0x1003, "buffer exceeds 64 kbyte"},
    {0x1004, "message buffer size too small"},
    {0x1005, "max. number of logical connections not supported"},
    {0x1007, "not accepted because of an internal busy condition"},
    {0x1008, "OS resource error (no memory?)"},
    {0x1009, "CAPI not installed"},
    {0x1101, "illegal application number"},
    {0x1102, "illegal command or subcommand or message length less than 12 bytes"},
    {0x1103, "queue full"},
    {0x1104, "queue empty"},
    {0x1105, "queue overflow, a message was lost"},
    {0x1106, "unknown notification parameter"},
    {0x1107, "not accepted because of an internal busy condition"},
    {0x1108, "OS resource error (no memory?)"},
    {0x1109, "CAPI not installed"},
    {0x2001, "message not supported in current state"},
    {0x2002, "illegal Controller/PLCI/NCCI"},
    {0x2003, "out of PLCI"},
    {0x2004, "out of NCCI"},
    {0x2005, "out of LISTEN"},
    {0x2007, "illegal message parameter coding"},
    {0x300a, "CIP value unknown"},
    {0x3301, "protocol error layer 1"},
    {0x3302, "protocol error layer 2"},
    {0x3303, "protocol error layer 3"},
    {0x3304, "another application got that call"},
    {0x3481, "Unallocated (unassigned) number"},
    {0x3486, "Channel unacceptable"},
    {0x3490, "Normal call clearing"},
    {0x3491, "User busy"},
    {0x3492, "No user responding"},
    {0x3493, "No answer from user (user alerted)"},
    {0x3495, "Call rejected"},
    {0x349b, "Destination out of order"},
    {0x349d, "Facility rejected"},
    {0x34a2, "No circuit/channel available"},
    {0x34ac, "Requested circuit/channel not available"},
    {0x34d8, "Incompatible destination"},
};

template <size_t N>
const char* Lookup(const NamedValue (&table)[N], uint16_t value)
{
    for (const auto& entry : table)
        if (entry.value == value)
            return entry.name;
    return nullptr;
}

} // namespace

uint16_t RejectReason(uint16_t reject)
{
    // Q.850 cause per Reject value 2..8
    static constexpr std::array<uint8_t, 9> kCause = {0, 0, 16, 17, 44, 29, 6, 88, 27};
    if (reject < 2 || reject >= kCause.size())
        return 0;
    return static_cast<uint16_t>(0x3480 | kCause[reject]);
}

std::string MessageName(uint16_t code)
{
    const char* cmd = Lookup(kCommandNames, CommandOf(code));
    const char* sub = Lookup(kSubcommandNames, SubcommandOf(code));
    if (cmd && sub)
        return std::string(cmd) + "_" + sub;
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", code);
    return buf;
}

std::string_view InfoText(uint16_t info)
{
    const char* text = Lookup(kInfoTexts, info);
    return text ? std::string_view(text) : std::string_view();
}

void PutHeader(uint8_t* msg, const Header& h)
{
    PutU16(msg + 0, h.length);
    PutU16(msg + 2, h.applId);
    PutU8(msg + 4, h.command);
    PutU8(msg + 5, h.subcommand);
    PutU16(msg + 6, h.number);
    PutU32(msg + 8, h.address);
}

bool ReadHeader(Reader& r, Header& h)
{
    if (r.Left() < kHeaderSize)
        return false;
    Header out;
    r.U16(out.length);
    r.U16(out.applId);
    r.U8(out.command);
    r.U8(out.subcommand);
    r.U16(out.number);
    r.U32(out.address);
    h = out;
    return true;
}

size_t PutStruct(uint8_t* p, std::string_view contents)
{
    p[0] = static_cast<uint8_t>(contents.size());
    if (!contents.empty()) // an empty view may carry a null pointer
        std::memcpy(p + 1, contents.data(), contents.size());
    return 1 + contents.size();
}

} // namespace capi
