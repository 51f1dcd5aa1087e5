// Composed CAPI messages, byte for byte, and decoded by libcapi20's own
// decoder as an independent check.
#include "CapiCoding.h"
#include "CapiDefs.h"
#include "CapiRequests.h"

#include <capiutils.h>

#include <QRegularExpression>
#include <QTest>

#include <functional>

using namespace capi;

namespace {

using Encoder = std::function<size_t(uint8_t*)>;

QByteArray Encode(const Encoder& encoder)
{
    uint8_t buffer[kMessageBufferSize];
    std::memset(buffer, 0xee, sizeof buffer); // the encoder must clear it
    const size_t n = encoder(buffer);
    return QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(n));
}

QByteArray Hex(const char* spaced) { return QByteArray::fromHex(QByteArray(spaced).replace(' ', "")); }

QString Decoded(QByteArray message)
{
    return QString::fromLatin1(capi_message2str(reinterpret_cast<unsigned char*>(message.data())));
}

} // namespace

class TestCapiRequests : public QObject
{
    Q_OBJECT

private slots:
    void littleEndian();
    void readerNeverReadsPastTheEnd();

    void vectors_data();
    void vectors();
    void submitCodes_data();
    void submitCodes();
    void connectReqLimits();

    void libcapiDecodesConnectReq();
    void libcapiDecodesListenReq();
    void libcapiDecodesAnswers_data();
    void libcapiDecodesAnswers();
};

void TestCapiRequests::littleEndian()
{
    uint8_t b[8] = {};
    PutU16(b, 0x0201);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 2), Hex("01 02"));
    PutU32(b, 0x04030201);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), Hex("01 02 03 04"));
    QCOMPARE(GetU32(b), 0x04030201u);
    PutU64(b, 0x0807060504030201ull);
    QCOMPARE(GetU64(b), 0x0807060504030201ull);
    PutU16BE(b, 0x0010);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 2), Hex("00 10"));
}

void TestCapiRequests::readerNeverReadsPastTheEnd()
{
    // A structure followed by a u16: every shorter prefix fails somewhere and
    // a failed read leaves the reader where it was.
    const QByteArray full = Hex("03 81 31 32 34 12");
    for (qsizetype n = 0; n < full.size(); ++n) {
        Reader r(reinterpret_cast<const uint8_t*>(full.constData()), size_t(n));
        std::string_view contents;
        uint16_t value = 0xbeef;
        const bool structOk = r.Struct(contents);
        const size_t at = r.Offset();
        const bool valueOk = structOk && r.U16(value);
        QVERIFY2(!valueOk, qPrintable(QString("prefix of %1 octets decoded").arg(n)));
        QCOMPARE(r.Offset(), at);
        if (!structOk)
            QCOMPARE(r.Offset(), size_t(0));
        QCOMPARE(value, uint16_t(0xbeef));
    }
    Reader r(reinterpret_cast<const uint8_t*>(full.constData()), size_t(full.size()));
    std::string_view contents;
    uint16_t value = 0;
    QVERIFY(r.Struct(contents) && r.U16(value));
    QCOMPARE(QByteArray(contents.data(), qsizetype(contents.size())), Hex("81 31 32"));
    QCOMPARE(value, uint16_t(0x1234));

    // A length octet larger than what is left.
    const QByteArray liar = Hex("05 81 31");
    Reader lr(reinterpret_cast<const uint8_t*>(liar.constData()), size_t(liar.size()));
    QVERIFY(!lr.Struct(contents));
    QCOMPARE(lr.Offset(), size_t(0));
}

void TestCapiRequests::vectors_data()
{
    QTest::addColumn<Encoder>("encoder");
    QTest::addColumn<QByteArray>("expected");

    const uint32_t ctrl1 = Address(1, 0, 0);
    QTest::newRow("LISTEN_REQ, every service, no INFO_IND")
        << Encoder([=](uint8_t* b) { return EncodeListenReq(b, 7, ctrl1); })
        << Hex("1a 00 07 00 05 80 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00");
    QTest::newRow("CONNECT_REQ 12345 'test tekst'")
        << Encoder([=](uint8_t* b) { return EncodeConnectReq(b, 7, ctrl1, 2, "12345", "test tekst"); })
        << Hex("28 00 07 00 02 80 00 00 01 00 00 00 02 00 06 81 31 32 33 34 35 00 00 0B 81 74 65 73 74 20 74 "
               "65 6B 73 74 00 00 00 00 00");
    QTest::newRow("CONNECT_REQ 0201, empty text: subaddress 01 81")
        << Encoder([=](uint8_t* b) { return EncodeConnectReq(b, 7, ctrl1, 2, "0201", ""); })
        << Hex("1d 00 07 00 02 80 00 00 01 00 00 00 02 00 05 81 30 32 30 31 00 00 01 81 00 00 00 00 00");
    QTest::newRow("CONNECT_REQ letters reduced to six bits, * and # kept")
        << Encoder([=](uint8_t* b) { return EncodeConnectReq(b, 7, ctrl1, 2, "Aa*#9", "x"); })
        << Hex("1f 00 07 00 02 80 00 00 01 00 00 00 02 00 06 81 01 21 2a 23 39 00 00 02 81 78 00 00 00 00 00");
    QTest::newRow("CONNECT_REQ carries the link's PLCI")
        << Encoder([=](uint8_t* b) { return EncodeConnectReq(b, 7, Address(1, 5, 0), 2, "1", "a"); })
        << Hex("1b 00 07 00 02 80 00 00 01 05 00 00 02 00 02 81 31 00 00 02 81 61 00 00 00 00 00");
    QTest::newRow("CONNECT_REQ text is 8-bit, unchanged")
        << Encoder([=](uint8_t* b) { return EncodeConnectReq(b, 7, ctrl1, 2, "1", "\xe9\x80\xff"); })
        << Hex("1d 00 07 00 02 80 00 00 01 00 00 00 02 00 02 81 31 00 00 04 81 e9 80 ff 00 00 00 00 00");
    QTest::newRow("CONNECT_RESP, PLCI 5")
        << Encoder([=](uint8_t* b) { return EncodeSubmitMessage(b, ConnectResp, 7, Address(1, 5, 0)); })
        << Hex("13 00 07 00 02 83 00 00 01 05 00 00 05 00 00 00 00 00 00");
    QTest::newRow("DATA_B3_RESP echoes the indication's handle")
        << Encoder([=](uint8_t* b) { return EncodeSubmitMessage(b, DataB3Resp, 7, Address(1, 1, 0x101), 0x1234); })
        << Hex("0e 00 07 00 86 83 00 00 01 01 01 01 34 12");
}

void TestCapiRequests::vectors()
{
    QFETCH(Encoder, encoder);
    QFETCH(QByteArray, expected);
    QCOMPARE(Encode(encoder).toHex(' '), expected.toHex(' '));
}

void TestCapiRequests::submitCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("parameters"); // after the address

    QTest::newRow("CONNECT_RESP") << int(ConnectResp) << 19 << Hex("05 00 00 00 00 00 00");
    QTest::newRow("CONNECT_ACTIVE_RESP") << int(ConnectActiveResp) << 12 << QByteArray();
    QTest::newRow("DISCONNECT_RESP") << int(DisconnectResp) << 12 << QByteArray();
    QTest::newRow("INFO_RESP is 14, not 12") << int(InfoResp) << 14 << Hex("00 00");
    QTest::newRow("CONNECT_B3_REQ") << int(ConnectB3Req) << 13 << Hex("00");
    QTest::newRow("CONNECT_B3_RESP accepts") << int(ConnectB3Resp) << 15 << Hex("00 00 00");
    QTest::newRow("CONNECT_B3_ACTIVE_RESP") << int(ConnectB3ActiveResp) << 12 << QByteArray();
    QTest::newRow("DISCONNECT_B3_RESP") << int(DisconnectB3Resp) << 12 << QByteArray();
    QTest::newRow("DATA_B3_RESP") << int(DataB3Resp) << 14 << Hex("00 00");
    QTest::newRow("RESET_B3_RESP is 14, not 12") << int(ResetB3Resp) << 14 << Hex("00 00");
    QTest::newRow("unknown code refused") << int(ConnectReq) << 0 << QByteArray();
    QTest::newRow("another unknown code") << 0x1234 << 0 << QByteArray();
}

void TestCapiRequests::submitCodes()
{
    QFETCH(int, code);
    QFETCH(int, length);
    QFETCH(QByteArray, parameters);
    const QByteArray m =
        Encode([&](uint8_t* b) { return EncodeSubmitMessage(b, uint16_t(code), 0x0102, Address(1, 9, 0x0201)); });
    QCOMPARE(m.size(), qsizetype(length));
    if (length == 0)
        return;
    const QByteArray header = Hex("00 00 02 01 00 00 00 00 01 09 01 02");
    QByteArray expected = header + parameters;
    expected[0] = char(length);
    expected[4] = char(CommandOf(uint16_t(code)));
    expected[5] = char(SubcommandOf(uint16_t(code)));
    QCOMPARE(m.toHex(' '), expected.toHex(' '));
}

void TestCapiRequests::connectReqLimits()
{
    const std::string text19(19, 'x');
    const std::string number55(55, '9');
    const QByteArray m = Encode([&](uint8_t* b) { return EncodeConnectReq(b, 7, Address(1, 0, 0), 2, number55, text19); });
    QCOMPARE(m.size(), qsizetype(99));
    QCOMPARE(uint8_t(m[14]), uint8_t(0x38));           // called number length
    QCOMPARE(uint8_t(m[18 + 55]), uint8_t(0x14));      // subaddress length
    QCOMPARE(m.mid(99 - 5), QByteArray(5, '\0'));      // five empty structures

    const QByteArray longest =
        Encode([&](uint8_t* b) { return EncodeConnectReq(b, 7, 0, 2, number55, std::string(55, 't')); });
    QCOMPARE(longest.size(), qsizetype(135));

    QCOMPARE(Encode([&](uint8_t* b) { return EncodeConnectReq(b, 7, 0, 2, std::string(56, '1'), "x"); }).size(),
             qsizetype(0));
    QCOMPARE(Encode([&](uint8_t* b) { return EncodeConnectReq(b, 7, 0, 2, "1", std::string(56, 'x')); }).size(),
             qsizetype(0));
}

void TestCapiRequests::libcapiDecodesConnectReq()
{
    const QByteArray m =
        Encode([](uint8_t* b) { return EncodeConnectReq(b, 7, Address(1, 0, 0), 2, "12345", "test tekst"); });
    const QString text = Decoded(m);
    QVERIFY2(text.contains("CONNECT_REQ"), qPrintable(text));
    QVERIFY2(text.contains("ID=007"), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("CIPValue\\s+= 0x2\\b")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("CalledPartyNumber\\s+= <81>12345")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("CallingPartySubaddress\\s+= <81>test tekst")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("CallingPartyNumber\\s+= default")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("AdditionalInfo\\s+= default")), qPrintable(text));

    _cmsg cmsg;
    std::memset(&cmsg, 0, sizeof cmsg);
    QByteArray copy = m;
    capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(copy.data()));
    QCOMPARE(unsigned(cmsg.ApplId), 7u);
    QCOMPARE(unsigned(cmsg.adr.adrController), 1u);
    QCOMPARE(unsigned(cmsg.CIPValue), 2u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(cmsg.CalledPartyNumber), 7), Hex("06 81 31 32 33 34 35"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(cmsg.CallingPartySubaddress), 12),
             Hex("0b 81 74 65 73 74 20 74 65 6b 73 74"));
}

void TestCapiRequests::libcapiDecodesListenReq()
{
    const QByteArray m = Encode([](uint8_t* b) { return EncodeListenReq(b, 3, Address(1, 0, 0)); });
    _cmsg cmsg;
    std::memset(&cmsg, 0, sizeof cmsg);
    QByteArray copy = m;
    capi_message2cmsg(&cmsg, reinterpret_cast<unsigned char*>(copy.data()));
    QCOMPARE(unsigned(cmsg.Command), unsigned(CmdListen));
    QCOMPARE(unsigned(cmsg.Subcommand), unsigned(SubReq));
    QCOMPARE(unsigned(cmsg.InfoMask), 0u);
    QCOMPARE(unsigned(cmsg.CIPmask), 1u);
    QCOMPARE(unsigned(cmsg.CIPmask2), 0u);
    QCOMPARE(unsigned(cmsg.l), 26u);
}

void TestCapiRequests::libcapiDecodesAnswers_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("CONNECT_RESP") << int(ConnectResp) << "CONNECT_RESP";
    QTest::newRow("DISCONNECT_RESP") << int(DisconnectResp) << "DISCONNECT_RESP";
    QTest::newRow("CONNECT_B3_REQ") << int(ConnectB3Req) << "CONNECT_B3_REQ";
    QTest::newRow("CONNECT_B3_RESP") << int(ConnectB3Resp) << "CONNECT_B3_RESP";
    QTest::newRow("DATA_B3_RESP") << int(DataB3Resp) << "DATA_B3_RESP";
}

void TestCapiRequests::libcapiDecodesAnswers()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    const QByteArray m = Encode([&](uint8_t* b) { return EncodeSubmitMessage(b, uint16_t(code), 7, Address(1, 5, 0)); });
    const QString text = Decoded(m);
    QVERIFY2(text.startsWith(name + " "), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("Controller/PLCI/NCCI\\s+= 0x501")), qPrintable(text));
    if (code == ConnectResp)
        QVERIFY2(text.contains(QRegularExpression("Reject\\s+= 0x5\\b")), qPrintable(text));
}

QTEST_APPLESS_MAIN(TestCapiRequests)
#include "TestCapiRequests.moc"
