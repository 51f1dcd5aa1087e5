// Writes each call's D-channel signalling as Q.931 in LAPD I-frames to a pcap
// file (link type LINUX_LAPD), so a standard dissector shows where the text
// travels: in the Calling party subaddress of the SETUP.
#pragma once

#include "Switch.h"

#include <cstdio>
#include <string>
#include <unordered_map>

namespace exchange {

class PcapWriter : public CallObserver
{
public:
    PcapWriter() = default;
    ~PcapWriter() override;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return m_file != nullptr; }

    void CallSetup(uint64_t call, std::string_view callingNumber, std::string_view calledNumber, uint16_t cip,
                   std::string_view callingSubaddress) override;
    void CallConnected(uint64_t call) override;
    void CallCleared(uint64_t call, uint16_t reason) override;

    // One Q.931 message (protocol discriminator onwards) as a LAPD I-frame.
    // toUser: sent by the network towards the caller's terminal.
    void WriteQ931(const std::string& q931, bool toUser);

private:
    std::string Message(uint64_t call, uint8_t type, bool fromNetwork) const;

    std::FILE* m_file = nullptr;
    uint8_t m_sendSeq = 0;  // N(S) of frames from the terminal
    uint8_t m_recvSeq = 0;  // N(S) of frames from the network
    std::unordered_map<uint64_t, bool> m_connected;
};

} // namespace exchange
