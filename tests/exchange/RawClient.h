// A remote-CAPI client that speaks the frames itself, for driving the
// exchange in tests without libcapi20.
#pragma once

#include "CapiDefs.h"

#include <QByteArray>
#include <QTcpSocket>
#include <QTest>

namespace testing {

inline QByteArray Hex(const char* hex) { return QByteArray::fromHex(hex); }

// A CAPI message: header, then `params`; the length is filled in.
inline QByteArray Msg(uint16_t code, uint32_t address, const QByteArray& params = {}, uint16_t number = 0,
                      uint16_t applId = 7)
{
    QByteArray m(capi::kHeaderSize, '\0');
    capi::Header h;
    h.length = static_cast<uint16_t>(capi::kHeaderSize + params.size());
    h.applId = applId;
    h.command = capi::CommandOf(code);
    h.subcommand = capi::SubcommandOf(code);
    h.number = number;
    h.address = address;
    capi::PutHeader(reinterpret_cast<uint8_t*>(m.data()), h);
    return m + params;
}

inline QByteArray U16(uint16_t v)
{
    QByteArray b(2, '\0');
    capi::PutU16(reinterpret_cast<uint8_t*>(b.data()), v);
    return b;
}
inline QByteArray U32(uint32_t v)
{
    QByteArray b(4, '\0');
    capi::PutU32(reinterpret_cast<uint8_t*>(b.data()), v);
    return b;
}
inline QByteArray Struct(const QByteArray& contents) { return char(contents.size()) + contents; }

// CONNECT_REQ the way Zoemlijn composes it: type 0x81 before number and text.
inline QByteArray ConnectReqMsg(const QByteArray& number, const QByteArray& text, uint16_t cip = 2,
                             uint32_t address = 1)
{
    return Msg(capi::ConnectReq, address,
               U16(cip) + Struct("\x81" + number) + Struct({}) + Struct({}) + Struct("\x81" + text) +
                   QByteArray(5, '\0'));
}
inline QByteArray ConnectRespMsg(uint32_t plci, uint16_t reject)
{
    return Msg(capi::ConnectResp, plci, U16(reject) + QByteArray(5, '\0'));
}
inline QByteArray ListenReqMsg(uint32_t cipMask, uint32_t controller = 1)
{
    return Msg(capi::ListenReq, controller, U32(0) + U32(cipMask) + U32(0) + QByteArray(2, '\0'));
}

struct Frame
{
    QByteArray bytes; // payload, prefix removed
    uint16_t Code() const { return capi::GetU16(Ptr() + 4); }
    uint32_t Address() const { return capi::GetU32(Ptr() + 8); }
    uint16_t At16(int offset) const { return bytes.size() >= offset + 2 ? capi::GetU16(Ptr() + offset) : 0xffff; }
    // Info of a confirmation, Reason of a DISCONNECT_IND
    uint16_t Value() const { return At16(Code() == capi::DataB3Conf ? 14 : 12); }
    const uint8_t* Ptr() const { return reinterpret_cast<const uint8_t*>(bytes.constData()); }
};

class RawClient
{
public:
    // `from`: the local address to connect from (127.0.0.2 is another
    // client to the exchange), `to`: the exchange's.
    explicit RawClient(quint16 port, const QString& from = {}, const QString& to = QStringLiteral("127.0.0.1"))
    {
        if (!from.isEmpty())
            m_socket.bind(QHostAddress(from));
        m_socket.connectToHost(to, port);
        m_socket.waitForConnected(2000);
    }

    void SendRaw(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    void Send(const QByteArray& payload)
    {
        QByteArray frame(2, '\0');
        capi::PutU16BE(reinterpret_cast<uint8_t*>(frame.data()), static_cast<uint16_t>(payload.size() + 2));
        SendRaw(frame + payload);
    }
    // The next frame, or an empty one after the timeout.
    Frame Next(int timeoutMs = 2000)
    {
        Frame f;
        (void)QTest::qWaitFor([&] { return Take(f); }, timeoutMs);
        return f;
    }
    // The next frame must be `code`; returns it.
    Frame Expect(uint16_t code)
    {
        Frame f = Next();
        if (f.bytes.isEmpty() || f.Code() != code) {
            const QByteArray what = "expected " + QByteArray::fromStdString(capi::MessageName(code)) + ", got " +
                                    (f.bytes.isEmpty() ? QByteArray("nothing") : f.bytes.toHex(' '));
            QTest::qFail(what.constData(), __FILE__, __LINE__);
        }
        return f;
    }
    bool Quiet(int ms = 50)
    {
        Frame f;
        QTest::qWait(ms);
        return !Take(f);
    }
    bool Closed(int timeoutMs = 2000)
    {
        return QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
    // The REGISTER_CONF's Info, 0xffff when none came.
    uint16_t RegisterInfo(uint16_t maxBDataLen = 128, uint16_t maxLogicalConnections = 2, uint16_t maxBlocks = 7)
    {
        Send(Hex("00000000f2ff000000000000") + U16(2048) + U16(maxLogicalConnections) + U16(maxBlocks) +
             U16(maxBDataLen) + Hex("02"));
        const Frame f = Next();
        if (f.bytes.size() != 10 || !f.bytes.startsWith(Hex("00000000f3ff0000")))
            return 0xffff;
        return f.At16(8);
    }
    bool Register(uint16_t maxBDataLen = 128, uint16_t maxLogicalConnections = 2)
    {
        return RegisterInfo(maxBDataLen, maxLogicalConnections) == capi::InfoOk;
    }
    bool Listen(uint32_t cipMask)
    {
        Send(ListenReqMsg(cipMask));
        const Frame f = Next();
        return f.Code() == capi::ListenConf && f.Value() == capi::InfoOk;
    }
    void Close() { m_socket.abort(); }
    QTcpSocket& Socket() { return m_socket; }

private:
    bool Take(Frame& f)
    {
        m_buf += m_socket.readAll();
        if (m_buf.size() < 2)
            return false;
        const int len = capi::GetU16BE(reinterpret_cast<const uint8_t*>(m_buf.constData()));
        if (m_buf.size() < len)
            return false;
        f.bytes = m_buf.mid(2, len - 2);
        m_buf.remove(0, len);
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buf;
};

} // namespace testing
