// CAPI parameters the load programs put on the wire themselves.
#pragma once

#include <string>

// CONNECT_REQ after its header: CIP 2, as Zoemlijn sends, the called number
// and the text as Calling party subaddress (type 0x81), the rest empty.
inline std::string ConnectReqParams(const std::string& number, const std::string& text)
{
    std::string p("\x02\x00", 2);
    p += static_cast<char>(number.size() + 1);
    p += '\x81';
    p += number;
    p += std::string(2, '\0');
    p += static_cast<char>(text.size() + 1);
    p += '\x81';
    p += text;
    p += std::string(5, '\0');
    return p;
}
