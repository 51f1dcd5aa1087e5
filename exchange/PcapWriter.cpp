#include "PcapWriter.h"

#include "CapiCoding.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace exchange {

namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4;
constexpr uint16_t kPcapMajor = 2, kPcapMinor = 4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeLinuxLapd = 177;

// LINUX_LAPD pseudo-header: pkttype, hatype, halen, 8 address octets,
// protocol; big-endian. Address octet 0 = 1 says "we are the network".
constexpr size_t kLapdPseudoHeader = 16;
constexpr uint16_t kPacketToUs = 0;
constexpr uint16_t kPacketOutgoing = 4;
constexpr uint16_t kEthPLapd = 0x0030;

// LAPD address: SAPI 0 (call control), TEI 64; I-frames with P = 0.
constexpr uint8_t kSapiCallControl = 0;
constexpr uint8_t kTei = 64;

// Q.931
constexpr uint8_t kProtocolQ931 = 0x08;
constexpr uint8_t kCallRefLength = 1;
constexpr uint8_t kCallRefFlag = 0x80; // set by the side that did not originate the call
constexpr uint8_t kMsgSetup = 0x05;
constexpr uint8_t kMsgConnect = 0x07;
constexpr uint8_t kMsgDisconnect = 0x45;
constexpr uint8_t kMsgRelease = 0x4d;
constexpr uint8_t kMsgReleaseComplete = 0x5a;
constexpr uint8_t kIeBearerCapability = 0x04;
constexpr uint8_t kIeCause = 0x08;
constexpr uint8_t kIeCallingNumber = 0x6c;
constexpr uint8_t kIeCallingSubaddress = 0x6d;
constexpr uint8_t kIeCalledNumber = 0x70;
constexpr uint8_t kNumberUnknownIsdn = 0x81;     // ext, type unknown, ISDN plan
constexpr uint8_t kNumberUnknownIsdnOpen = 0x01; // octet 3a follows
constexpr uint8_t kPresentationAllowedNetwork = 0x83;
constexpr uint8_t kCauseCcittUser = 0x80;        // ext, CCITT coding, location user
constexpr uint8_t kCausePublicNetwork = 0x82;    // ext, CCITT coding, public network, local user
constexpr uint8_t kCauseValueMask = 0x7f;
constexpr uint8_t kCauseNormalClearing = 16;

// Bearer capability octets per CIP value (ETS 300 838 annex: CIP to BC).
std::string BearerCapability(uint16_t cip)
{
    switch (cip) {
    case 1:  // speech
    case 16: // telephony
    case 26:
        return "\x80\x90\xa3";
    case 4: // 3.1 kHz audio
    case 17:
        return "\x90\x90\xa3";
    case 5: // 7 kHz audio
        return "\x91\x90";
    case 6: // video
        return "\x98\x90";
    default: // 2 and the rest: unrestricted digital information
        return "\x88\x90";
    }
}

void PutIe(std::string& msg, uint8_t id, std::string_view contents)
{
    msg += static_cast<char>(id);
    msg += static_cast<char>(contents.size() > 0xff ? 0xff : contents.size());
    msg.append(contents.substr(0, 0xff));
}

std::string Cause(uint16_t reason, uint8_t location)
{
    // Reason 0x34xx carries a network cause; anything else reads as normal clearing.
    const uint8_t value = (reason & 0xff00) == 0x3400 ? (reason & kCauseValueMask) : kCauseNormalClearing;
    return std::string{static_cast<char>(location), static_cast<char>(0x80 | value)};
}

} // namespace

PcapWriter::~PcapWriter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PcapWriter::Open(const std::string& path)
{
    m_path = path;
    // The texts travel in the SETUPs: for the owner's eyes only, and never
    // written where a symlink planted by someone else points.
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0077) != 0 && fchmod(m_fd, 0600) != 0) {
        m_error = path + ": " + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    uint8_t header[24];
    capi::PutU32(header, kPcapMagic); // written little-endian; readers detect the byte order
    capi::PutU16(header + 4, kPcapMajor);
    capi::PutU16(header + 6, kPcapMinor);
    capi::PutU32(header + 8, 0);
    capi::PutU32(header + 12, 0);
    capi::PutU32(header + 16, kSnapLength);
    capi::PutU32(header + 20, kLinkTypeLinuxLapd);
    if (!WriteAll(std::string(reinterpret_cast<const char*>(header), sizeof header))) {
        m_error = path + ": " + m_error;
        return false;
    }
    return true;
}

bool PcapWriter::WriteAll(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = m_write ? m_write(m_fd, bytes.data() + done, bytes.size() - done)
                                  : ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Fail(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    m_written += static_cast<off_t>(bytes.size());
    return true;
}

void PcapWriter::Fail(int error)
{
    m_error = std::strerror(error);
    // Half a record would put every later one out of step: cut it off.
    if (ftruncate(m_fd, m_written) != 0) {
        // Not a regular file, or not writable any more: nothing to mend.
    }
    ::close(m_fd);
    m_fd = -1;
    m_connected.clear();
    if (m_written == 0)
        return; // Open() tells
    const std::string message = "isdn-exchange: cannot write " + m_path + ": " + m_error + "; no more calls recorded";
    if (m_sink)
        m_sink(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

std::string PcapWriter::Message(uint64_t call, uint8_t type, bool fromNetwork) const
{
    const uint8_t ref = static_cast<uint8_t>(call % 127 + 1);
    std::string msg{static_cast<char>(kProtocolQ931), static_cast<char>(kCallRefLength),
                    static_cast<char>(fromNetwork ? (ref | kCallRefFlag) : ref), static_cast<char>(type)};
    return msg;
}

void PcapWriter::CallSetup(uint64_t call, std::string_view callingNumber, std::string_view calledNumber, uint16_t cip,
                           std::string_view callingSubaddress)
{
    if (m_fd < 0)
        return;
    m_connected[call] = false;
    std::string msg = Message(call, kMsgSetup, false);
    PutIe(msg, kIeBearerCapability, BearerCapability(cip));
    std::string calling{static_cast<char>(kNumberUnknownIsdnOpen), static_cast<char>(kPresentationAllowedNetwork)};
    calling.append(callingNumber);
    PutIe(msg, kIeCallingNumber, calling);
    // The CAPI structure holds the element's contents as they are.
    if (!callingSubaddress.empty())
        PutIe(msg, kIeCallingSubaddress, callingSubaddress);
    std::string called(1, static_cast<char>(kNumberUnknownIsdn));
    called.append(calledNumber);
    PutIe(msg, kIeCalledNumber, called);
    WriteQ931(msg, false);
}

void PcapWriter::CallConnected(uint64_t call)
{
    if (m_fd < 0)
        return;
    m_connected[call] = true;
    WriteQ931(Message(call, kMsgConnect, true), true);
}

void PcapWriter::CallCleared(uint64_t call, uint16_t reason)
{
    if (m_fd < 0)
        return;
    const auto it = m_connected.find(call);
    const bool connected = it != m_connected.end() && it->second;
    if (it != m_connected.end())
        m_connected.erase(it);
    if (reason == 0) {
        // The caller hung up.
        std::string msg = Message(call, kMsgDisconnect, false);
        PutIe(msg, kIeCause, Cause(reason, kCauseCcittUser));
        WriteQ931(msg, false);
        WriteQ931(Message(call, kMsgRelease, true), true);
        WriteQ931(Message(call, kMsgReleaseComplete, false), false);
        return;
    }
    if (connected) {
        std::string msg = Message(call, kMsgDisconnect, true);
        PutIe(msg, kIeCause, Cause(reason, kCausePublicNetwork));
        WriteQ931(msg, true);
        WriteQ931(Message(call, kMsgRelease, false), false);
        WriteQ931(Message(call, kMsgReleaseComplete, true), true);
        return;
    }
    std::string msg = Message(call, kMsgReleaseComplete, true);
    PutIe(msg, kIeCause, Cause(reason, kCausePublicNetwork));
    WriteQ931(msg, true);
}

void PcapWriter::WriteQ931(const std::string& q931, bool toUser)
{
    if (m_fd < 0)
        return;
    std::string frame(kLapdPseudoHeader, '\0');
    auto* h = reinterpret_cast<uint8_t*>(frame.data());
    capi::PutU16BE(h, toUser ? kPacketOutgoing : kPacketToUs);
    capi::PutU16BE(h + 2, 0);
    capi::PutU16BE(h + 4, 1);
    h[6] = 1; // we are the network
    capi::PutU16BE(h + 14, kEthPLapd);
    // C/R: commands from the network carry 1, from the terminal 0.
    frame += static_cast<char>((kSapiCallControl << 2) | (toUser ? 0x02 : 0x00));
    frame += static_cast<char>((kTei << 1) | 0x01);
    uint8_t& ns = toUser ? m_recvSeq : m_sendSeq;
    const uint8_t nr = toUser ? m_sendSeq : m_recvSeq;
    frame += static_cast<char>((ns << 1) & 0xfe);
    frame += static_cast<char>((nr << 1) & 0xfe);
    ns = static_cast<uint8_t>((ns + 1) & 0x7f);
    frame += q931;

    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    uint8_t record[16];
    capi::PutU32(record, static_cast<uint32_t>(us / 1000000));
    capi::PutU32(record + 4, static_cast<uint32_t>(us % 1000000));
    capi::PutU32(record + 8, static_cast<uint32_t>(frame.size()));
    capi::PutU32(record + 12, static_cast<uint32_t>(frame.size()));
    WriteAll(std::string(reinterpret_cast<const char*>(record), sizeof record) + frame);
}

} // namespace exchange
