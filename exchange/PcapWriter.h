// Writes each call's D-channel signalling as Q.931 in LAPD I-frames to a pcap
// file (link type LINUX_LAPD), so a standard dissector shows where the text
// travels: in the Calling party subaddress of the SETUP.
#pragma once

#include "Switch.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <unordered_map>

namespace exchange {

class PcapWriter : public CallObserver
{
public:
    PcapWriter() = default;
    ~PcapWriter() override;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or empties) the file, 0600, never through a symlink, and
    // writes the file header; false with Error() when that fails.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Error() const { return m_error; }
    // A write fails: the one message that says so, after which nothing more
    // is written (stderr unless set).
    void SetErrorSink(std::function<void(const std::string&)> sink) { m_sink = std::move(sink); }
    // write(2) by default; tests put a failing device here.
    using WriteFn = std::function<ssize_t(int fd, const void* data, size_t size)>;
    void SetWriteFunction(WriteFn write) { m_write = std::move(write); }

    void CallSetup(uint64_t call, std::string_view callingNumber, std::string_view calledNumber, uint16_t cip,
                   std::string_view callingSubaddress) override;
    void CallConnected(uint64_t call) override;
    void CallCleared(uint64_t call, uint16_t reason) override;

    // One Q.931 message (protocol discriminator onwards) as a LAPD I-frame.
    // toUser: sent by the network towards the caller's terminal.
    void WriteQ931(const std::string& q931, bool toUser);

private:
    std::string Message(uint64_t call, uint8_t type, bool fromNetwork) const;
    // Writes all of `bytes`; on failure the file is cut back to its last
    // whole record and closed.
    bool WriteAll(const std::string& bytes);
    void Fail(int error);

    std::string m_path;
    int m_fd = -1;
    off_t m_written = 0; // octets of whole records, header included
    std::string m_error;
    std::function<void(const std::string&)> m_sink;
    WriteFn m_write;
    uint8_t m_sendSeq = 0;  // N(S) of frames from the terminal
    uint8_t m_recvSeq = 0;  // N(S) of frames from the network
    std::unordered_map<uint64_t, bool> m_connected;
};

} // namespace exchange
