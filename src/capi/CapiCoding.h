// Little-endian put/get helpers and a bounds-checked reader for CAPI 2.0
// messages. Shared by the link and by isdn-exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace capi {

inline void PutU8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void PutU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v)
{
    PutU16(p, static_cast<uint16_t>(v));
    PutU16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void PutU64(uint8_t* p, uint64_t v)
{
    PutU32(p, static_cast<uint32_t>(v));
    PutU32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(GetU16(p)) | (static_cast<uint32_t>(GetU16(p + 2)) << 16);
}
inline uint64_t GetU64(const uint8_t* p)
{
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

// Big-endian 16 bits: only the remote-CAPI length prefix and control commands use it.
inline void PutU16BE(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline uint16_t GetU16BE(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Reads fields front to back. Every read checks the bytes left first and moves
// on only when it succeeds; after a failed read the reader is unchanged.
class Reader
{
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t Left() const { return m_size - m_pos; }
    size_t Offset() const { return m_pos; }
    const uint8_t* Here() const { return m_data + m_pos; }

    bool U8(uint8_t& v)
    {
        if (Left() < 1)
            return false;
        v = m_data[m_pos];
        m_pos += 1;
        return true;
    }
    bool U16(uint16_t& v)
    {
        if (Left() < 2)
            return false;
        v = GetU16(m_data + m_pos);
        m_pos += 2;
        return true;
    }
    bool U32(uint32_t& v)
    {
        if (Left() < 4)
            return false;
        v = GetU32(m_data + m_pos);
        m_pos += 4;
        return true;
    }
    bool U64(uint64_t& v)
    {
        if (Left() < 8)
            return false;
        v = GetU64(m_data + m_pos);
        m_pos += 8;
        return true;
    }
    bool Skip(size_t n)
    {
        if (Left() < n)
            return false;
        m_pos += n;
        return true;
    }
    // A CAPI structure: one length octet, then that many octets. `contents`
    // excludes the length octet. Fails when the length runs past the end.
    bool Struct(std::string_view& contents)
    {
        if (Left() < 1)
            return false;
        const size_t len = m_data[m_pos];
        if (len > Left() - 1)
            return false;
        contents = std::string_view(reinterpret_cast<const char*>(m_data + m_pos + 1), len);
        m_pos += 1 + len;
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

} // namespace capi
