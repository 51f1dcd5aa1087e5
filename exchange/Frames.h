// Remote-CAPI framing: a big-endian 16-bit length that counts itself, then
// either a CAPI message or a control request (register, manufacturer, ...).
#pragma once

#include "CapiDefs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace exchange {

constexpr size_t kPrefixSize = 2;
// libcapi20 assembles a frame body in a 4096-octet stack buffer.
constexpr size_t kMaxPayload = 4096;
constexpr size_t kMaxFrame = kPrefixSize + kMaxPayload;
// libcapi20 reads control replies into a 100-octet buffer.
constexpr size_t kMaxControlReply = 100;

// Control requests: payload octet 4..5, big-endian; octet 5 is always 0xff.
enum : uint16_t {
    CtrlManufacturerReq = 0xfaff,
    CtrlVersionReq = 0xfcff,
    CtrlSerialReq = 0xfeff,
    CtrlProfileReq = 0xe0ff,
    CtrlRegisterReq = 0xf2ff,
};
constexpr size_t kControlHeaderSize = 12;
constexpr size_t kControlReplyHeaderSize = 8;
constexpr size_t kControlCommandOffset = 4;
constexpr size_t kControlControllerOffset = 8;
constexpr uint8_t kControlMarker = 0xff;
// The confirmation is the request plus one in the first command octet.
constexpr uint16_t ControlConf(uint16_t req) { return static_cast<uint16_t>(req + 0x0100); }

// True when a frame payload is a control request rather than a CAPI message.
inline bool IsControl(std::string_view payload)
{
    return payload.size() > 5 && static_cast<uint8_t>(payload[5]) == kControlMarker;
}

// Splits a byte stream into frame payloads. A length below the prefix size
// or above kMaxFrame poisons the stream: nothing after it can be trusted.
class FrameAssembler
{
public:
    enum class Result { Frame, NeedMore, Bad };

    void Append(const uint8_t* data, size_t size) { m_buf.append(reinterpret_cast<const char*>(data), size); }
    // On Frame, `payload` stays valid until the next call.
    Result Next(std::string_view& payload);
    size_t Buffered() const { return m_buf.size() - m_pos; }

private:
    std::string m_buf;
    size_t m_pos = 0;
};

// Builds one outgoing frame: prefix, then fields appended front to back. The
// fields never exceed the room; Put* beyond kMaxFrame is dropped and marks
// the frame as overflowed, which the switch treats as a bug, not as input.
class FrameBuilder
{
public:
    FrameBuilder() { m_size = kPrefixSize; }

    FrameBuilder& U8(uint8_t v);
    FrameBuilder& U16(uint16_t v);
    FrameBuilder& U16BE(uint16_t v);
    FrameBuilder& U32(uint32_t v);
    FrameBuilder& Bytes(std::string_view bytes);
    FrameBuilder& Zeros(size_t n);
    // A CAPI structure; from 255 octets on its length goes after an 0xff escape.
    FrameBuilder& Struct(std::string_view contents);
    // The 12-octet CAPI message header; FinishCapi() fills in its length.
    FrameBuilder& Message(uint16_t applId, uint16_t code, uint16_t number, uint32_t address);

    // Writes the prefix; for a CAPI message also the length at payload
    // offset 0 (the CAPI length, which excludes trailing B3 data).
    std::string_view Finish();
    std::string_view FinishCapi(size_t capiLength);
    size_t PayloadSize() const { return m_size - kPrefixSize; }
    bool Overflowed() const { return m_overflow; }

private:
    bool Room(size_t n);
    uint8_t m_buf[kMaxFrame] = {};
    size_t m_size;
    bool m_overflow = false;
};

// Reads a CAPI structure, the 0xff escape (a 16-bit length follows) included.
bool ReadStruct(capi::Reader& r, std::string_view& contents);

} // namespace exchange
