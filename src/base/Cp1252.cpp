#include "Cp1252.h"

namespace cp1252 {

namespace {

// 0x80..0x9F; 0 where Windows-1252 defines no character.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

} // namespace

QString Decode(const QByteArray& bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = (b >= 0x80 && b < 0xA0 && kHigh[b - 0x80] != 0) ? kHigh[b - 0x80] : char16_t(b);
    }
    return text;
}

QByteArray Encode(const QString& text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char* p = bytes.data();
    for (QChar ch : text) {
        const char16_t u = ch.unicode();
        char out = '?';
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out = static_cast<char>(u);
        } else if (u >= 0x80 && u < 0xA0 && kHigh[u - 0x80] == 0) {
            out = static_cast<char>(u); // an undefined octet kept as its C1 control
        } else {
            for (int i = 0; i < 32; ++i) {
                if (kHigh[i] == u && u != 0) {
                    out = static_cast<char>(0x80 + i);
                    break;
                }
            }
        }
        *p++ = out;
    }
    return bytes;
}

bool CanEncode(QChar ch)
{
    const char16_t u = ch.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return true;
    if (u < 0xA0)
        return kHigh[u - 0x80] == 0; // the octets Windows-1252 leaves undefined
    for (char16_t mapped : kHigh)
        if (mapped == u)
            return true;
    return false;
}

QString ForDisplay(const QString& text)
{
    QString shown = text;
    for (QChar& ch : shown) {
        const char16_t u = ch.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            ch = QChar(0xFFFD);
    }
    return shown;
}

QString ControlsAsBlanks(const QString& text)
{
    QString shown = text;
    for (QChar& ch : shown) {
        const char16_t u = ch.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            ch = QLatin1Char(' ');
    }
    return shown;
}

} // namespace cp1252
