#include "Frames.h"

namespace exchange {

FrameAssembler::Result FrameAssembler::Next(std::string_view& payload)
{
    // Drop consumed bytes once they dominate, so the buffer stays small.
    if (m_pos > 0 && m_pos * 2 >= m_buf.size()) {
        m_buf.erase(0, m_pos);
        m_pos = 0;
    }
    const size_t left = m_buf.size() - m_pos;
    if (left < kPrefixSize)
        return Result::NeedMore;
    const auto* p = reinterpret_cast<const uint8_t*>(m_buf.data() + m_pos);
    const size_t length = capi::GetU16BE(p);
    if (length < kPrefixSize || length > kMaxFrame)
        return Result::Bad;
    if (left < length)
        return Result::NeedMore;
    payload = std::string_view(m_buf.data() + m_pos + kPrefixSize, length - kPrefixSize);
    m_pos += length;
    return Result::Frame;
}

bool FrameBuilder::Room(size_t n)
{
    if (n > kMaxFrame - m_size) {
        m_overflow = true;
        return false;
    }
    return true;
}

FrameBuilder& FrameBuilder::U8(uint8_t v)
{
    if (Room(1))
        m_buf[m_size++] = v;
    return *this;
}

FrameBuilder& FrameBuilder::U16(uint16_t v)
{
    if (Room(2)) {
        capi::PutU16(m_buf + m_size, v);
        m_size += 2;
    }
    return *this;
}

FrameBuilder& FrameBuilder::U16BE(uint16_t v)
{
    if (Room(2)) {
        capi::PutU16BE(m_buf + m_size, v);
        m_size += 2;
    }
    return *this;
}

FrameBuilder& FrameBuilder::U32(uint32_t v)
{
    if (Room(4)) {
        capi::PutU32(m_buf + m_size, v);
        m_size += 4;
    }
    return *this;
}

FrameBuilder& FrameBuilder::Bytes(std::string_view bytes)
{
    if (Room(bytes.size())) {
        std::memcpy(m_buf + m_size, bytes.data(), bytes.size());
        m_size += bytes.size();
    }
    return *this;
}

FrameBuilder& FrameBuilder::Zeros(size_t n)
{
    if (Room(n)) {
        std::memset(m_buf + m_size, 0, n);
        m_size += n;
    }
    return *this;
}

FrameBuilder& FrameBuilder::Struct(std::string_view contents)
{
    constexpr size_t kEscape = 0xff;
    if (contents.size() > 0xffff) {
        m_overflow = true;
        return *this;
    }
    // An empty view may carry a null pointer, which memcpy must not see.
    if (contents.empty())
        return U8(0);
    if (contents.size() < kEscape)
        U8(static_cast<uint8_t>(contents.size()));
    else
        U8(kEscape).U16(static_cast<uint16_t>(contents.size()));
    return Bytes(contents);
}

FrameBuilder& FrameBuilder::Message(uint16_t applId, uint16_t code, uint16_t number, uint32_t address)
{
    capi::Header h;
    h.applId = applId;
    h.command = capi::CommandOf(code);
    h.subcommand = capi::SubcommandOf(code);
    h.number = number;
    h.address = address;
    if (Room(capi::kHeaderSize)) {
        capi::PutHeader(m_buf + m_size, h);
        m_size += capi::kHeaderSize;
    }
    return *this;
}

std::string_view FrameBuilder::Finish()
{
    capi::PutU16BE(m_buf, static_cast<uint16_t>(m_size));
    return std::string_view(reinterpret_cast<const char*>(m_buf), m_size);
}

std::string_view FrameBuilder::FinishCapi(size_t capiLength)
{
    capi::PutU16(m_buf + kPrefixSize, static_cast<uint16_t>(capiLength));
    return Finish();
}

} // namespace exchange

namespace exchange {

bool ReadStruct(capi::Reader& r, std::string_view& contents)
{
    if (r.Left() < 1 || *r.Here() != 0xff)
        return r.Struct(contents);
    if (r.Left() < 3)
        return false;
    const size_t len = capi::GetU16(r.Here() + 1);
    if (len > r.Left() - 3)
        return false;
    contents = std::string_view(reinterpret_cast<const char*>(r.Here() + 3), len);
    return r.Skip(3 + len);
}

} // namespace exchange
