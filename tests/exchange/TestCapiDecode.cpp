// The exchange's messages as libcapi20's own decoder reads them: every
// parameter where the standard puts it, nothing read past the end.
#include "ExchangeServer.h"
#include "RawClient.h"

#include <QTest>

#include <capi20.h>
#include <capiutils.h>

#include <memory>

using namespace testing;
using namespace capi;

namespace {
const QString kA = QStringLiteral("0301111111");
const QString kB = QStringLiteral("0302222222");

// The decoder walks the parameters the message ought to have; what follows
// the message is poison, so a missing parameter shows as garbage.
QByteArray Poisoned(const QByteArray& message) { return message + QByteArray(512, '\xee'); }

// A message as libcapi20 decodes it; its structures point into `bytes`.
struct Decoded
{
    explicit Decoded(const QByteArray& message) : bytes(Poisoned(message))
    {
        capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(bytes.data()));
    }
    QByteArray bytes;
    _cmsg cmsg{};
};

// Decoded into fields and encoded again: the same octets when every
// parameter sits where the standard puts it.
QByteArray RoundTrip(const QByteArray& message)
{
    Decoded d(message);
    QByteArray out(4096, '\0');
    capi_cmsg2message(&d.cmsg, reinterpret_cast<unsigned char*>(out.data()));
    return out.left(GetU16(reinterpret_cast<const uint8_t*>(out.constData())));
}
} // namespace

class TestCapiDecode : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<exchange::ExchangeServer> m_server;

    std::unique_ptr<RawClient> Client(const QString& number)
    {
        auto c = std::make_unique<RawClient>(m_server->Port(number));
        if (!c->Register())
            qWarning("register failed");
        return c;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<exchange::ExchangeServer>(exchange::ServerOptions());
        QString error;
        QVERIFY(m_server->AddLine(kA, 0, &error) && m_server->AddLine(kB, 0, &error));
    }
    void cleanup() { m_server.reset(); }

    void callMessages_data()
    {
        QTest::addColumn<int>("textLength"); // the subaddress holds its type octet too
        QTest::newRow("short text") << 5;
        QTest::newRow("253: a plain length octet") << 253;
        QTest::newRow("254: 255 octets, the escape") << 254;
        QTest::newRow("300: the escape") << 300;
    }
    // A call's messages as libcapi20 reads them. A structure of 255 octets
    // or more goes after the 0xff escape, in the CONNECT_REQ and in the
    // CONNECT_IND; CONNECT_ACTIVE_IND has its Connected number, Connected
    // subaddress and LLC; FACILITY_CONF its Info, the request's selector and
    // the confirmation parameter.
    void callMessages()
    {
        QFETCH(int, textLength);
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(0x1));
        const QByteArray sub = "\x81" + QByteArray(textLength, 't');
        const QByteArray encoded = sub.size() < 255 ? char(sub.size()) + sub : Hex("ff") + U16(uint16_t(sub.size())) + sub;
        caller->Send(Msg(ConnectReq, 1,
                         U16(2) + Struct("\x81" + kB.toLatin1()) + Struct({}) + Struct({}) + encoded +
                             QByteArray(5, '\0')));
        QCOMPARE(caller->Expect(ConnectConf).Value(), InfoOk);
        const Frame ind = callee->Expect(ConnectInd);
        QVERIFY(ind.bytes.endsWith(encoded + QByteArray(4, '\0')));
        QCOMPARE(int(ind.At16(0)), ind.bytes.size());
        QCOMPARE(RoundTrip(ind.bytes).toHex(' '), ind.bytes.toHex(' '));

        callee->Send(ConnectRespMsg(ind.Address(), 0));
        for (RawClient* side : {caller.get(), callee.get()}) {
            const Frame f = side->Expect(ConnectActiveInd);
            QCOMPARE(f.bytes.size(), 15); // three empty structures
            QCOMPARE(RoundTrip(f.bytes).toHex(' '), f.bytes.toHex(' '));
        }

        caller->Send(Msg(Code(CmdFacility, SubReq), 1, U16(3) + Struct("\x01\x02"), 5));
        const Frame f = caller->Expect(Code(CmdFacility, SubConf));
        QCOMPARE(RoundTrip(f.bytes).toHex(' '), f.bytes.toHex(' '));
        const Decoded d(f.bytes);
        QCOMPARE(int(d.cmsg.Info), 0x300b);
        QCOMPARE(int(d.cmsg.FacilitySelector), 3);
        QCOMPARE(int(d.cmsg.Messagenumber), 5);
        QVERIFY(d.cmsg.FacilityConfirmationParameter && d.cmsg.FacilityConfirmationParameter[0] == 0);
    }
};

QTEST_GUILESS_MAIN(TestCapiDecode)
#include "TestCapiDecode.moc"
