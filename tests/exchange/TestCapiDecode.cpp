// The exchange's messages as libcapi20's own decoder reads them: every
// parameter where the standard puts it, nothing read past the end.
#include "ExchangeServer.h"
#include "RawClient.h"

#include <QRegularExpression>
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

QString Decoded(const QByteArray& message)
{
    QByteArray buf = Poisoned(message);
    return QString::fromLatin1(capi_message2str(reinterpret_cast<unsigned char*>(buf.data())));
}

// Decoded into fields and encoded again: the same octets when every
// parameter sits where the standard puts it.
QByteArray RoundTrip(const QByteArray& message)
{
    QByteArray in = Poisoned(message);
    _cmsg cmsg{};
    capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(in.data()));
    QByteArray out(4096, '\0');
    capi_cmsg2message(&cmsg, reinterpret_cast<unsigned char*>(out.data()));
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
        exchange::ServerOptions options;
        m_server = std::make_unique<exchange::ExchangeServer>(options);
        QString error;
        QVERIFY(m_server->AddLine(kA, 0, &error));
        QVERIFY(m_server->AddLine(kB, 0, &error));
    }
    void cleanup() { m_server.reset(); }

    // CONNECT_ACTIVE_IND: Connected number, Connected subaddress, LLC.
    void connectActiveInd()
    {
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(0x1));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "actief"));
        caller->Expect(ConnectConf);
        callee->Send(ConnectRespMsg(callee->Expect(ConnectInd).Address(), 0));
        for (RawClient* side : {caller.get(), callee.get()}) {
            const Frame f = side->Expect(ConnectActiveInd);
            QCOMPARE(f.bytes.size(), 15);
            QCOMPARE(RoundTrip(f.bytes).toHex(' '), f.bytes.toHex(' '));
            const QString text = Decoded(f.bytes);
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("ConnectedNumber\\s+= default"))), qPrintable(text));
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("ConnectedSubaddress\\s+= default"))),
                     qPrintable(text));
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("LLC\\s+= default"))), qPrintable(text));
            QVERIFY2(!text.contains(QStringLiteral("ee ee")), qPrintable(text));
        }
    }

    void facilityConf_data()
    {
        QTest::addColumn<int>("selector");
        QTest::newRow("handset") << 0;
        QTest::newRow("DTMF") << 1;
        QTest::newRow("supplementary services") << 3;
    }
    // FACILITY_CONF: Info, the request's selector, the confirmation parameter.
    void facilityConf()
    {
        QFETCH(int, selector);
        auto c = Client(kA);
        c->Send(Msg(Code(CmdFacility, SubReq), 1, U16(uint16_t(selector)) + Struct("\x01\x02"), 5));
        const Frame f = c->Expect(Code(CmdFacility, SubConf));
        QCOMPARE(RoundTrip(f.bytes).toHex(' '), f.bytes.toHex(' '));
        QByteArray in = Poisoned(f.bytes);
        _cmsg cmsg{};
        capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(in.data()));
        QCOMPARE(int(cmsg.Info), 0x300b);
        QCOMPARE(int(cmsg.FacilitySelector), selector);
        QCOMPARE(int(cmsg.Messagenumber), 5);
        QVERIFY(cmsg.FacilityConfirmationParameter && cmsg.FacilityConfirmationParameter[0] == 0);
    }

    void longSubaddress_data()
    {
        QTest::addColumn<int>("textLength"); // the subaddress holds its type octet too
        QTest::newRow("253: a plain length octet") << 253;
        QTest::newRow("254: 255 octets, the escape") << 254;
        QTest::newRow("300: the escape") << 300;
    }
    // A structure of 255 octets or more goes after the 0xff escape, in the
    // CONNECT_REQ and in the CONNECT_IND; libcapi20 reads it back whole.
    void longSubaddress()
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
        QVERIFY(ind.bytes.contains(encoded + QByteArray(4, '\0')));
        QCOMPARE(int(ind.At16(0)), ind.bytes.size());
        QCOMPARE(RoundTrip(ind.bytes).toHex(' '), ind.bytes.toHex(' '));
        QByteArray in = Poisoned(ind.bytes);
        _cmsg cmsg{};
        capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(in.data()));
        QVERIFY(cmsg.CallingPartySubaddress);
        const QByteArray decoded = sub.size() < 255
                                       ? QByteArray(reinterpret_cast<const char*>(cmsg.CallingPartySubaddress) + 1,
                                                    cmsg.CallingPartySubaddress[0])
                                       : QByteArray(reinterpret_cast<const char*>(cmsg.CallingPartySubaddress) + 3,
                                                    GetU16(cmsg.CallingPartySubaddress + 1));
        QCOMPARE(decoded, sub);
    }
};

QTEST_GUILESS_MAIN(TestCapiDecode)
#include "TestCapiDecode.moc"
