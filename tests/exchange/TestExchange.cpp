// The exchange over TCP, driven by raw-frame clients.
#include "ExchangeServer.h"
#include "PcapWriter.h"
#include "RawClient.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace testing;
using namespace capi;

namespace {
const QString kA = QStringLiteral("0301111111");
const QString kB = QStringLiteral("0302222222");
const QString kAnswer = QStringLiteral("0309999999");
constexpr uint32_t kAllServices = 0x1;
constexpr uint32_t kSpeechOnly = 1u << 1; // CIP 1
// Short enough for a test, long enough that a loaded machine answers in time.
constexpr int kSetupTimeoutMs = 300;
constexpr int kAlertTimeoutMs = 600;
constexpr uint16_t kTimerExpiry = 0x34e6;
} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<exchange::ExchangeServer> m_server;

    std::unique_ptr<RawClient> Client(const QString& number, bool doRegister = true, uint16_t maxCalls = 2)
    {
        auto c = std::make_unique<RawClient>(m_server->Port(number));
        if (doRegister && !c->Register(128, maxCalls))
            qWarning("register failed");
        return c;
    }
    bool Idle()
    {
        return QTest::qWaitFor([&] { return m_server->Core().Stats().plcis == 0 && m_server->Core().Stats().calls == 0; },
                               2000);
    }

private slots:
    void init()
    {
        exchange::ServerOptions options;
        options.maxQueuedBytes = 64 * 1024;
        options.timeouts.setupMs = kSetupTimeoutMs;
        options.timeouts.alertMs = kAlertTimeoutMs;
        m_server = std::make_unique<exchange::ExchangeServer>(options);
        QString error;
        QVERIFY(m_server->AddLine(kA, 0, &error));
        QVERIFY(m_server->AddLine(kB, 0, &error));
        QVERIFY(m_server->AddAnsweringLine(kAnswer, &error));
    }
    void cleanup() { m_server.reset(); }

    void controlRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("manufacturer") << Hex("00000000faff000001000000")
                                      << Hex("00000000fbff000040") + QByteArray("isdn-exchange") + QByteArray(51, '\0');
        QTest::newRow("version") << Hex("00000000fcff000001000000")
                                 << Hex("00000000fdff000010 02000000 00000000 01000000 00000000");
        QTest::newRow("serial") << Hex("00000000feff000001000000") << Hex("00000000ffff0000 08 31303030303031 00");
        QTest::newRow("profile, controller count") << Hex("00000000e0ff000000000000") << Hex("00000000e1ff0000 0000 0100");
        QTest::newRow("profile, controller 1")
            << Hex("00000000e0ff000001000000")
            << Hex("00000000e1ff0000 0000 0100 0200 01000000 03000000 03000000 01000000") + QByteArray(44, '\0');
        QTest::newRow("profile, no controller 2")
            << Hex("00000000e0ff000002000000")
            << Hex("00000000e1ff0000 0220 0100 0200 01000000 03000000 03000000 01000000") + QByteArray(44, '\0');
    }
    void controlRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        // A management connection: never registers.
        auto c = Client(kA, false);
        c->Send(request);
        const Frame f = c->Next();
        QCOMPARE(f.bytes.toHex(' '), reply.toHex(' '));
        QVERIFY(f.bytes.size() + 2 <= 100);
        c->Send(request); // served again on the same connection
        QCOMPARE(c->Next().bytes.toHex(' '), reply.toHex(' '));
    }

    void registerRules()
    {
        auto small = Client(kA, false);
        QVERIFY(!small->Register(64)); // MaxBDataLen below 128
        auto twice = Client(kA);
        QVERIFY(!twice->Register());
        QVERIFY(twice->Listen(kAllServices)); // the first registration stands
    }

    // The whole text exchange: CONNECT_IND bytes exact, Reject 5 clears both.
    void textCallRejected()
    {
        auto receiver = Client(kB);
        auto sender = Client(kA);
        QVERIFY(receiver->Listen(kAllServices));
        const QByteArray text("Hoi \x80\xa9\xff" "caf\xe9", 11);
        sender->Send(ConnectReqMsg(kB.toLatin1(), text));

        const Frame conf = sender->Expect(ConnectConf);
        QCOMPARE(conf.Value(), InfoOk);
        const uint32_t callerPlci = conf.Address();
        QCOMPARE(callerPlci & 0xffff00ffu, 0x00000001u);
        QVERIFY(callerPlci & 0xff00);

        const Frame ind = receiver->Expect(ConnectInd);
        const uint32_t plci = ind.Address();
        QVERIFY(plci & 0xff00);
        const QByteArray params = Hex("0200") + Struct("\x81" + kB.toLatin1()) + Struct("\x01\x80" + kA.toLatin1()) +
                                  Struct({}) + Struct("\x81" + text) + QByteArray(4, '\0');
        QCOMPARE(ind.bytes.mid(12).toHex(' '), params.toHex(' '));
        QCOMPARE(ind.At16(0), uint16_t(ind.bytes.size()));

        receiver->Send(ConnectRespMsg(plci, 5));
        const Frame callerDisc = sender->Expect(DisconnectInd);
        QCOMPARE(callerDisc.Value(), ReasonFacilityRejected);
        QCOMPARE(callerDisc.Address(), callerPlci);
        const Frame calledDisc = receiver->Expect(DisconnectInd);
        QCOMPARE(calledDisc.Value(), ReasonNoCause);
        QCOMPARE(m_server->Core().Stats().plcis, size_t(2)); // until the responses
        sender->Send(Msg(DisconnectResp, callerPlci));
        receiver->Send(Msg(DisconnectResp, plci));
        QVERIFY(Idle());
        QVERIFY(sender->Quiet() && receiver->Quiet());
    }

    void callOutcomes_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<uint32_t>("cipMask");
        QTest::addColumn<int>("cip");
        QTest::addColumn<int>("reject"); // -1: the listener never sees the call
        QTest::addColumn<int>("reason");
        QTest::newRow("unallocated number") << "0300000000" << kAllServices << 2 << -1 << 0x3481;
        QTest::newRow("nobody listening") << kB << 0u << 2 << -1 << 0x3492;
        QTest::newRow("CIP mask mismatch") << kB << kSpeechOnly << 2 << -1 << 0x3492;
        QTest::newRow("CIP mask match") << kB << kSpeechOnly << 1 << 5 << 0x349d;
        QTest::newRow("reject normal clearing") << kB << kAllServices << 2 << 2 << 0x3490;
        QTest::newRow("reject user busy") << kB << kAllServices << 2 << 3 << 0x3491;
        QTest::newRow("reject out of order") << kB << kAllServices << 2 << 8 << 0x349b;
        QTest::newRow("reject unknown value") << kB << kAllServices << 2 << 9 << 0x3495;
        QTest::newRow("ignore, nobody else") << kB << kAllServices << 2 << 1 << 0x3492;
    }
    void callOutcomes()
    {
        QFETCH(QString, number);
        QFETCH(uint32_t, cipMask);
        QFETCH(int, cip);
        QFETCH(int, reject);
        QFETCH(int, reason);
        auto receiver = Client(kB);
        auto sender = Client(kA);
        QVERIFY(receiver->Listen(cipMask));
        sender->Send(ConnectReqMsg(number.toLatin1(), "x", uint16_t(cip)));
        const Frame conf = sender->Expect(ConnectConf);
        QCOMPARE(conf.Value(), InfoOk);
        if (reject >= 0) {
            const Frame ind = receiver->Expect(ConnectInd);
            receiver->Send(ConnectRespMsg(ind.Address(), uint16_t(reject)));
            QCOMPARE(receiver->Expect(DisconnectInd).Value(), ReasonNoCause);
            receiver->Send(Msg(DisconnectResp, ind.Address()));
        }
        QCOMPARE(int(sender->Expect(DisconnectInd).Value()), reason);
        sender->Send(Msg(DisconnectResp, conf.Address()));
        QVERIFY(Idle());
        QVERIFY(receiver->Quiet());
    }

    // Zoemlijn alone: its sending and receiving registrations share one line.
    void callToOwnNumber()
    {
        auto receiver = Client(kA);
        auto sender = Client(kA);
        QVERIFY(receiver->Listen(kAllServices));
        sender->Send(ConnectReqMsg(kA.toLatin1(), "zelf"));
        const Frame conf = sender->Expect(ConnectConf);
        const Frame ind = receiver->Expect(ConnectInd);
        QVERIFY(ind.Address() != conf.Address()); // two PLCIs on one controller
        QVERIFY(ind.bytes.endsWith(Struct("\x81zelf") + QByteArray(4, '\0')));
        receiver->Send(ConnectRespMsg(ind.Address(), 5));
        QCOMPARE(sender->Expect(DisconnectInd).Value(), ReasonFacilityRejected);
        QCOMPARE(receiver->Expect(DisconnectInd).Value(), ReasonNoCause);
        sender->Send(Msg(DisconnectResp, conf.Address()));
        receiver->Send(Msg(DisconnectResp, ind.Address()));
        QVERIFY(Idle());
    }

    // Q.931 point-to-multipoint: a call offered to several applications on a
    // line ends only when all of them rejected or ignored it, or the timer ran
    // out; the first to accept gets it; the caller hears the weightiest cause,
    // the latest of its rank.
    void pointToMultipoint_data()
    {
        QTest::addColumn<QList<int>>("responses"); // Reject per listener, in turn; -1: never answers
        QTest::addColumn<int>("callerEnd");        // DISCONNECT_IND Reason; -1: CONNECT_ACTIVE_IND
        QTest::addColumn<QList<int>>("ends");      // per listener: its DISCONNECT_IND Reason; -1: connected
        QTest::newRow("two: ignored, then rejected") << QList<int>{1, 5} << 0x349d << QList<int>{0, 0};
        QTest::newRow("two: both ignore") << QList<int>{1, 1} << 0x3492 << QList<int>{0, 0};
        QTest::newRow("two: ignored, then accepted") << QList<int>{1, 0} << -1 << QList<int>{0, -1};
        QTest::newRow("two: busy outranks facility rejected, though first") << QList<int>{3, 5} << 0x3491
                                                                           << QList<int>{0, 0};
        QTest::newRow("two: equal rank, the latest stands") << QList<int>{5, 2} << 0x3490 << QList<int>{0, 0};
        QTest::newRow("two: incompatible counts least") << QList<int>{5, 7} << 0x349d << QList<int>{0, 0};
        QTest::newRow("two: only incompatible") << QList<int>{7, 7} << 0x34d8 << QList<int>{0, 0};
        QTest::newRow("two: rejected, the other silent till the timer") << QList<int>{5, -1} << 0x349d
                                                                       << QList<int>{0, 0x34e6};
        QTest::newRow("three: busy among out of order and rejected") << QList<int>{8, 3, 5} << 0x3491
                                                                    << QList<int>{0, 0, 0};
        QTest::newRow("three: call rejected outranks a later facility rejected") << QList<int>{2, 9, 5} << 0x3495
                                                                                 << QList<int>{0, 0, 0};
        QTest::newRow("three: rejected, ignored, accepted") << QList<int>{5, 1, 0} << -1 << QList<int>{0, 0, -1};
        QTest::newRow("three: the first accepts, the others lose it") << QList<int>{0, -1, -1} << -1
                                                                     << QList<int>{-1, 0x3304, 0x3304};
    }
    void pointToMultipoint()
    {
        QFETCH(QList<int>, responses);
        QFETCH(int, callerEnd);
        QFETCH(QList<int>, ends);
        std::vector<std::unique_ptr<RawClient>> listeners;
        for (int i = 0; i < responses.size(); ++i) {
            listeners.push_back(Client(kB));
            QVERIFY(listeners.back()->Listen(kAllServices));
        }
        auto sender = Client(kA);
        sender->Send(ConnectReqMsg(kB.toLatin1(), "aan allen"));
        const uint32_t callerPlci = sender->Expect(ConnectConf).Address();
        std::vector<uint32_t> plcis;
        for (auto& l : listeners) {
            const Frame ind = l->Expect(ConnectInd);
            QVERIFY(ind.bytes.contains("aan allen"));
            plcis.push_back(ind.Address());
        }
        for (int i = 0; i < responses.size(); ++i) {
            if (responses[i] < 0)
                continue;
            listeners[i]->Send(ConnectRespMsg(plcis[i], uint16_t(responses[i])));
            if (ends[i] >= 0) // a rejection ends its own part at once
                QCOMPARE(int(listeners[i]->Expect(DisconnectInd).Value()), ends[i]);
            if (responses[i] != 0 && i < responses.size() - 1)
                QVERIFY2(sender->Quiet(), "the call ended before everyone answered");
        }
        const Frame end = sender->Next(kSetupTimeoutMs + 5000);
        QCOMPARE(int(end.Code()), int(callerEnd < 0 ? ConnectActiveInd : DisconnectInd));
        if (callerEnd >= 0)
            QCOMPARE(int(end.Value()), callerEnd);
        for (int i = 0; i < responses.size(); ++i) {
            if (ends[i] == -1)
                listeners[i]->Expect(ConnectActiveInd);
            else if (responses[i] < 0)
                QCOMPARE(int(listeners[i]->Expect(DisconnectInd).Value()), ends[i]);
        }
        if (callerEnd < 0) {
            sender->Send(Msg(DisconnectReq, callerPlci, Struct({})));
            QCOMPARE(sender->Expect(DisconnectConf).Value(), InfoOk);
            QCOMPARE(sender->Expect(DisconnectInd).Value(), ReasonNoCause);
            QCOMPARE(listeners[ends.indexOf(-1)]->Expect(DisconnectInd).Value(), ReasonNormalClearing);
        }
        for (int i = 0; i < responses.size(); ++i)
            listeners[i]->Send(Msg(DisconnectResp, plcis[i]));
        sender->Send(Msg(DisconnectResp, callerPlci));
        QVERIFY(Idle());
    }

    // Accepted call between two applications: B3 up, data both ways, clear.
    void acceptedCallCarriesData_data()
    {
        QTest::addColumn<bool>("b3First");
        QTest::newRow("DISCONNECT_REQ takes B3 down with it") << false;
        QTest::newRow("DISCONNECT_B3_REQ first") << true;
    }
    void acceptedCallCarriesData()
    {
        QFETCH(bool, b3First);
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "data"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        callee->Send(ConnectRespMsg(b, 0));
        caller->Expect(ConnectActiveInd);
        callee->Expect(ConnectActiveInd);
        caller->Send(Msg(ConnectB3Req, a, Struct({})));
        const Frame b3conf = caller->Expect(ConnectB3Conf);
        QCOMPARE(b3conf.Value(), InfoOk);
        const uint32_t ncciA = b3conf.Address();
        QCOMPARE(ncciA >> 16, 1u);
        const uint32_t ncciB = callee->Expect(ConnectB3Ind).Address();
        callee->Send(Msg(ConnectB3Resp, ncciB, U16(0) + Struct({})));
        callee->Expect(ConnectB3ActiveInd);
        caller->Expect(ConnectB3ActiveInd);

        // 30-octet form with a pointer that means nothing here
        caller->Send(Msg(DataB3Req, ncciA, U32(0xdeadbeef) + U16(3) + U16(0x55) + U16(0) + QByteArray(8, '\x11')) +
                     "abc");
        const Frame dconf = caller->Expect(DataB3Conf);
        QCOMPARE(dconf.At16(12), uint16_t(0x55));
        QCOMPARE(dconf.Value(), InfoOk);
        const Frame data = callee->Expect(DataB3Ind);
        QCOMPARE(data.At16(0), uint16_t(22));
        QCOMPARE(data.At16(16), uint16_t(3));
        QCOMPARE(data.bytes.mid(22), QByteArray("abc"));
        callee->Send(Msg(DataB3Resp, ncciB, U16(data.At16(18))));
        callee->Send(Msg(DataB3Req, ncciB, U32(0) + U16(2) + U16(1) + U16(0)) + "ok");
        QCOMPARE(callee->Expect(DataB3Conf).Value(), InfoOk);
        QCOMPARE(caller->Expect(DataB3Ind).bytes.mid(22), QByteArray("ok"));

        if (b3First) {
            callee->Send(Msg(DisconnectB3Req, ncciB, Struct({})));
            QCOMPARE(callee->Expect(DisconnectB3Conf).Value(), InfoOk);
            callee->Expect(DisconnectB3Ind);
            caller->Expect(DisconnectB3Ind);
            callee->Send(Msg(DisconnectB3Resp, ncciB));
            caller->Send(Msg(DisconnectB3Resp, ncciA));
            caller->Send(Msg(DataB3Req, ncciA, U32(0) + U16(1) + U16(2) + U16(0)) + "x");
            QCOMPARE(caller->Expect(DataB3Conf).Value(), ErrMessageNotSupportedInState);
        }
        callee->Send(Msg(DisconnectReq, b, Struct({})));
        QCOMPARE(callee->Expect(DisconnectConf).Value(), InfoOk);
        if (!b3First)
            caller->Expect(DisconnectB3Ind);
        QCOMPARE(caller->Expect(DisconnectInd).Value(), ReasonNormalClearing);
        if (!b3First)
            callee->Expect(DisconnectB3Ind);
        QCOMPARE(callee->Expect(DisconnectInd).Value(), ReasonNoCause);
        caller->Send(Msg(DisconnectResp, a));
        callee->Send(Msg(DisconnectResp, b));
        QVERIFY(Idle());
    }

    // The scripted subscriber answers, greets over B3 and hangs up.
    void answeringSubscriber()
    {
        auto caller = Client(kA);
        caller->Send(ConnectReqMsg(kAnswer.toLatin1(), "hallo?"));
        const uint32_t plci = caller->Expect(ConnectConf).Address();
        QCOMPARE(caller->Expect(ConnectActiveInd).Address(), plci);
        caller->Send(Msg(ConnectActiveResp, plci));
        caller->Send(Msg(ConnectB3Req, plci, Struct({})));
        const uint32_t ncci = caller->Expect(ConnectB3Conf).Address();
        QVERIFY(ncci >> 16);
        caller->Expect(ConnectB3ActiveInd);
        const Frame greeting = caller->Expect(DataB3Ind);
        QCOMPARE(greeting.Address(), ncci);
        QCOMPARE(greeting.At16(0), uint16_t(22));
        QCOMPARE(greeting.bytes.mid(22), QByteArray("Hallo van de centrale"));
        QCOMPARE(int(greeting.At16(16)), greeting.bytes.size() - 22);
        QVERIFY(caller->Quiet()); // hangs up only after the data was taken
        caller->Send(Msg(DataB3Resp, ncci, U16(greeting.At16(18))));
        caller->Expect(DisconnectB3Ind);
        QCOMPARE(caller->Expect(DisconnectInd).Value(), ReasonNormalClearing);
        caller->Send(Msg(DisconnectB3Resp, ncci));
        caller->Send(Msg(DisconnectResp, plci));
        QVERIFY(Idle());
    }

    void outOfState_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("confCode");
        QTest::addColumn<int>("info");
        const uint32_t noPlci = 0x00004201;
        QTest::newRow("LISTEN_REQ, controller 2") << ListenReqMsg(kAllServices, 2) << int(ListenConf) << 0x2002;
        QTest::newRow("LISTEN_REQ, masks cut off") << Msg(ListenReq, 1, U32(0)) << int(ListenConf) << 0x2007;
        QTest::newRow("CONNECT_REQ, controller 2") << ConnectReqMsg("1", "x", 2, 2) << int(ConnectConf) << 0x2002;
        QTest::newRow("CONNECT_REQ, structure runs past the message")
            << Msg(ConnectReq, 1, U16(2) + Hex("0b81")) << int(ConnectConf) << 0x2007;
        QTest::newRow("CONNECT_REQ, CIP value unknown") << ConnectReqMsg("1", "x", 99) << int(ConnectConf) << 0x3009;
        QTest::newRow("DISCONNECT_REQ, unknown PLCI") << Msg(DisconnectReq, noPlci, Struct({})) << int(DisconnectConf)
                                                      << 0x2002;
        QTest::newRow("CONNECT_B3_REQ, unknown PLCI") << Msg(ConnectB3Req, noPlci, Struct({})) << int(ConnectB3Conf)
                                                      << 0x2002;
        QTest::newRow("DISCONNECT_B3_REQ, unknown NCCI")
            << Msg(DisconnectB3Req, noPlci | 0x10000, Struct({})) << int(DisconnectB3Conf) << 0x2002;
        QTest::newRow("DATA_B3_REQ, unknown NCCI")
            << Msg(DataB3Req, noPlci | 0x10000, U32(0) + U16(1) + U16(9) + U16(0)) + "z" << int(DataB3Conf) << 0x2002;
        QTest::newRow("DATA_B3_REQ, data missing")
            << Msg(DataB3Req, noPlci | 0x10000, U32(0) + U16(5) + U16(9) + U16(0)) << int(DataB3Conf) << 0x2007;
        QTest::newRow("ALERT_REQ, unknown PLCI") << Msg(AlertReq, noPlci, Struct({})) << int(AlertConf) << 0x2002;
        QTest::newRow("INFO_REQ, controller") << Msg(InfoReq, 1, QByteArray(2, '\0')) << int(InfoConf) << 0x0000;
        QTest::newRow("FACILITY_REQ") << Msg(Code(CmdFacility, SubReq), 1, U16(1) + Struct({})) << 0x8180 << 0x300b;
        QTest::newRow("FACILITY_REQ without a selector") << Msg(Code(CmdFacility, SubReq), 1) << 0x8180 << 0x2007;
        QTest::newRow("unknown request") << Msg(Code(0x7e, SubReq), 1, U16(1)) << int(Code(0x7e, SubConf)) << 0x1102;
        // MANUFACTURER_CONF has no Info: offset 12 holds the ManuID it echoes.
        QTest::newRow("MANUFACTURER_REQ") << Msg(Code(CmdManufacturer, SubReq), 1, U32(0x4d41) + U32(1) + U32(2) +
                                                     Struct({}))
                                          << int(Code(CmdManufacturer, SubConf)) << 0x4d41;
        QTest::newRow("unexpected DISCONNECT_RESP") << Msg(DisconnectResp, noPlci) << 0 << 0;
        QTest::newRow("unexpected CONNECT_RESP") << ConnectRespMsg(noPlci, 5) << 0 << 0;
        QTest::newRow("unexpected DATA_B3_RESP") << Msg(DataB3Resp, noPlci | 0x10000, U16(0)) << 0 << 0;
        QTest::newRow("indication from an application") << Msg(ConnectInd, 1) << 0 << 0;
    }
    void outOfState()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, confCode);
        QFETCH(int, info);
        auto c = Client(kA);
        c->Send(message);
        if (confCode) {
            const Frame f = c->Next();
            QCOMPARE(int(f.Code()), confCode);
            QCOMPARE(int(f.Value()), info);
            QCOMPARE(f.At16(6), capi::GetU16(reinterpret_cast<const uint8_t*>(message.constData()) + 6));
        }
        QVERIFY(c->Quiet());
        QVERIFY(c->Listen(kAllServices)); // still served
        QVERIFY(Idle());
    }

    // Out of state inside a call: an outgoing call that is not yet answered.
    void outOfStateDuringCall()
    {
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "x"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        caller->Send(Msg(ConnectB3Req, a, Struct({})));
        QCOMPARE(caller->Expect(ConnectB3Conf).Value(), ErrMessageNotSupportedInState);
        caller->Send(Msg(AlertReq, a, Struct({})));
        QCOMPARE(caller->Expect(AlertConf).Value(), ErrMessageNotSupportedInState);
        callee->Send(Msg(AlertReq, b, Struct({})));
        QCOMPARE(callee->Expect(AlertConf).Value(), InfoOk);
        caller->Send(Msg(ConnectResp, a, U16(0))); // not the caller's to answer
        QVERIFY(callee->Quiet() && caller->Quiet());
        caller->Send(Msg(DisconnectReq, a, Struct({})));
        QCOMPARE(caller->Expect(DisconnectConf).Value(), InfoOk);
        QCOMPARE(callee->Expect(DisconnectInd).Value(), ReasonNormalClearing);
        QCOMPARE(caller->Expect(DisconnectInd).Value(), ReasonNoCause);
        caller->Send(Msg(DisconnectReq, a, Struct({})));
        QCOMPARE(caller->Expect(DisconnectConf).Value(), ErrMessageNotSupportedInState);
        caller->Send(Msg(DisconnectResp, a));
        callee->Send(Msg(DisconnectResp, b));
        QVERIFY(Idle());
    }

    void clientVanishes_data()
    {
        QTest::addColumn<bool>("callerDrops");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("reason"); // what the one left behind hears
        QTest::newRow("caller, call offered") << true << false << 0x3490;
        QTest::newRow("caller, call active") << true << true << 0x3490;
        QTest::newRow("callee, call offered") << false << false << 0x3492;
        QTest::newRow("callee, call active") << false << true << 0x349b;
    }
    void clientVanishes()
    {
        QFETCH(bool, callerDrops);
        QFETCH(bool, answered);
        QFETCH(int, reason);
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "weg"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        if (answered) {
            callee->Send(ConnectRespMsg(b, 0));
            caller->Expect(ConnectActiveInd);
            callee->Expect(ConnectActiveInd);
        }
        RawClient& gone = callerDrops ? *caller : *callee;
        RawClient& left = callerDrops ? *callee : *caller;
        gone.Close();
        QCOMPARE(int(left.Expect(DisconnectInd).Value()), reason);
        left.Send(Msg(DisconnectResp, callerDrops ? b : a));
        QVERIFY(Idle());
        QVERIFY(QTest::qWaitFor([&] { return m_server->Core().Stats().clients == 1; }, 2000));
    }

    void malformedFrame_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("registered");
        QTest::newRow("length below the prefix") << Hex("0001") << true;
        QTest::newRow("oversize frame") << Hex("1388") + QByteArray(64, '\0') << true;
        QTest::newRow("message shorter than a header") << Hex("0008 0600 0700 0580") << true;
        QTest::newRow("CAPI length beyond the frame") << Hex("000e 2000 0700 0580 0000 0100 0000") << true;
        QTest::newRow("CAPI length below a header") << Hex("000e 0400 0700 0580 0000 0100 0000") << true;
        QTest::newRow("control request cut short") << Hex("0008 0000 0000 e0ff") << false;
        QTest::newRow("register cut short") << Hex("000e 00000000f2ff000000000000") << false;
        QTest::newRow("message before register") << Hex("000e 0c00 0700 0480 0000 0100 0000") << false;
    }
    void malformedFrame()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, registered);
        auto bystander = Client(kA);
        auto bad = Client(kA, registered);
        bad->SendRaw(bytes);
        QVERIFY(bad->Closed());
        QVERIFY(bystander->Listen(kAllServices));
        QVERIFY(QTest::qWaitFor([&] { return m_server->Core().Stats().clients == 1; }, 2000));
    }

    // A client that sends but never reads is dropped once its output piles up.
    void outputBound()
    {
        auto bystander = Client(kB);
        auto reader = Client(kA, false);
        reader->Socket().setReadBufferSize(1); // stop taking bytes off the socket
        reader->Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QByteArray burst;
        for (int i = 0; i < 2000; ++i)
            burst += Hex("000e 00000000e0ff000001000000");
        bool closed = false;
        for (int round = 0; round < 200 && !closed; ++round) {
            reader->SendRaw(burst);
            closed = QTest::qWaitFor([&] { return m_server->Core().Stats().clients == 1; }, 20);
        }
        QVERIFY(closed);
        QCOMPARE(m_server->Connections(), size_t(1));
        QVERIFY(bystander->Listen(kAllServices));
    }

    // The network clears a call the called side leaves hanging (Q.931 T303, T301).
    void unansweredCallCleared_data()
    {
        QTest::addColumn<bool>("alert");
        QTest::addColumn<int>("callerReason");
        QTest::newRow("CONNECT_IND never answered") << false << 0x3492;
        QTest::newRow("alerted, never answered") << true << 0x3493;
    }
    void unansweredCallCleared()
    {
        QFETCH(bool, alert);
        QFETCH(int, callerReason);
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        QElapsedTimer clock;
        clock.start();
        caller->Send(ConnectReqMsg(kB.toLatin1(), "stil"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        if (alert) {
            callee->Send(Msg(AlertReq, b, Struct({})));
            QCOMPARE(callee->Expect(AlertConf).Value(), InfoOk);
        }
        const int timeoutMs = alert ? kAlertTimeoutMs : kSetupTimeoutMs;
        const Frame cleared = caller->Next(timeoutMs + 5000);
        QCOMPARE(cleared.Code(), DisconnectInd);
        QCOMPARE(int(cleared.Value()), callerReason);
        QCOMPARE(cleared.Address(), a);
        QVERIFY(clock.elapsed() >= timeoutMs);
        const Frame calledSide = callee->Expect(DisconnectInd);
        QCOMPARE(calledSide.Value(), kTimerExpiry);
        QCOMPARE(calledSide.Address(), b);
        callee->Send(ConnectRespMsg(b, 0)); // too late: nothing comes of it
        QVERIFY(caller->Quiet() && callee->Quiet());
        caller->Send(Msg(DisconnectResp, a));
        callee->Send(Msg(DisconnectResp, b));
        QVERIFY(Idle());
    }

    // An answer in time stops the clock: nothing is cleared afterwards.
    void answerStopsTheClock()
    {
        auto callee = Client(kB);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "op tijd"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        callee->Send(ConnectRespMsg(b, 0));
        caller->Expect(ConnectActiveInd);
        callee->Expect(ConnectActiveInd);
        QVERIFY(caller->Quiet(kSetupTimeoutMs * 2) && callee->Quiet());
        QVERIFY(m_server->Core().NextDeadline() < 0);
        caller->Send(Msg(DisconnectReq, a, Struct({})));
        QCOMPARE(caller->Expect(DisconnectConf).Value(), InfoOk);
        QCOMPARE(callee->Expect(DisconnectInd).Value(), ReasonNormalClearing);
        QCOMPARE(caller->Expect(DisconnectInd).Value(), ReasonNoCause);
        caller->Send(Msg(DisconnectResp, a));
        callee->Send(Msg(DisconnectResp, b));
        QVERIFY(Idle());
    }

    // An application that answers nothing at all, not even DISCONNECT_IND,
    // keeps no more calls than it registered logical connections for; the
    // rest of its line still calls out and is called.
    void silentApplicationLeavesTheLineFree()
    {
        auto silent = Client(kA, true, 2);
        auto neighbour = Client(kA);
        auto caller = Client(kB, true, 8);
        auto listener = Client(kB);
        QVERIFY(silent->Listen(kAllServices));
        QVERIFY(listener->Listen(kAllServices));

        for (int i = 0; i < 5; ++i) {
            caller->Send(ConnectReqMsg(kA.toLatin1(), "hallo?"));
            const Frame conf = caller->Expect(ConnectConf);
            QCOMPARE(conf.Value(), InfoOk);
            if (i < 2)
                continue;
            // The ones the silent application cannot take find its line busy at once.
            const Frame f = caller->Expect(DisconnectInd);
            QCOMPARE(f.Value(), ReasonUserBusy);
            caller->Send(Msg(DisconnectResp, f.Address()));
        }
        silent->Expect(ConnectInd);
        silent->Expect(ConnectInd);
        QVERIFY(silent->Quiet());

        // Meanwhile the silent one's neighbour gets through.
        neighbour->Send(ConnectReqMsg(kB.toLatin1(), "ik wel"));
        const Frame conf = neighbour->Expect(ConnectConf);
        QCOMPARE(conf.Value(), InfoOk);
        const Frame ind = listener->Expect(ConnectInd);
        QVERIFY(ind.bytes.contains("ik wel"));
        listener->Send(ConnectRespMsg(ind.Address(), 5));
        QCOMPARE(neighbour->Expect(DisconnectInd).Value(), ReasonFacilityRejected);
        QCOMPARE(listener->Expect(DisconnectInd).Value(), ReasonNoCause);
        neighbour->Send(Msg(DisconnectResp, conf.Address()));
        listener->Send(Msg(DisconnectResp, ind.Address()));

        // The two it holds are cleared on time; it never says DISCONNECT_RESP.
        for (int i = 0; i < 2; ++i) {
            const Frame f = caller->Next(kSetupTimeoutMs + 5000);
            QCOMPARE(f.Code(), DisconnectInd);
            QCOMPARE(f.Value(), ReasonNoUserResponding);
            caller->Send(Msg(DisconnectResp, f.Address()));
        }
        QCOMPARE(silent->Expect(DisconnectInd).Value(), kTimerExpiry);
        QCOMPARE(silent->Expect(DisconnectInd).Value(), kTimerExpiry);

        // Still stuck at its limit: later calls do not pile up behind it.
        for (int i = 0; i < 20; ++i) {
            caller->Send(ConnectReqMsg(kA.toLatin1(), "nog eens"));
            const Frame f = caller->Expect(ConnectConf);
            QCOMPARE(caller->Expect(DisconnectInd).Value(), ReasonUserBusy);
            caller->Send(Msg(DisconnectResp, f.Address()));
        }
        QVERIFY(silent->Quiet());
        QVERIFY(QTest::qWaitFor([&] { return m_server->Core().Stats().plcis == 2; }, 2000));
        silent->Close();
        QVERIFY(Idle());
    }

    // A caller is held to its own limit as well.
    void callerLimit()
    {
        auto callee = Client(kB, true, 8);
        auto caller = Client(kA, true, 1);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "een"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        const uint32_t b = callee->Expect(ConnectInd).Address();
        caller->Send(ConnectReqMsg(kB.toLatin1(), "twee"));
        QCOMPARE(caller->Expect(ConnectConf).Value(), ErrOutOfPlci);
        QVERIFY(callee->Quiet());
        callee->Send(ConnectRespMsg(b, 5));
        caller->Expect(DisconnectInd);
        callee->Expect(DisconnectInd);
        callee->Send(Msg(DisconnectResp, b));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "drie")); // DISCONNECT_RESP not yet sent
        QCOMPARE(caller->Expect(ConnectConf).Value(), ErrOutOfPlci);
        caller->Send(Msg(DisconnectResp, a));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "vier"));
        const Frame again = caller->Expect(ConnectConf);
        QCOMPARE(again.Value(), InfoOk);
        caller->Close();
        QCOMPARE(int(callee->Expect(ConnectInd).Code()), int(ConnectInd));
    }

    // A line's B channels (--channels) are taken by its connected calls:
    // called then, it is busy; calling out, it has no channel.
    void channelsInUse_data()
    {
        QTest::addColumn<int>("channels");
        QTest::newRow("one channel") << 1;
        QTest::newRow("two channels, the default") << 2;
        QTest::newRow("three channels") << 3;
    }
    void channelsInUse()
    {
        QFETCH(int, channels);
        const QString kC = QStringLiteral("0303333333");
        exchange::ServerOptions options;
        options.limits.channels = channels;
        m_server = std::make_unique<exchange::ExchangeServer>(options);
        QString error;
        QVERIFY(m_server->AddLine(kA, 0, &error) && m_server->AddLine(kB, 0, &error) &&
                m_server->AddLine(kC, 0, &error));
        auto a = Client(kA, true, 30);
        auto b = Client(kB, true, 30);
        auto c = Client(kC, true, 30);
        QVERIFY(a->Listen(kAllServices) && b->Listen(kAllServices));
        c->Send(Hex("00000000e0ff000001000000"));
        QCOMPARE(int(c->Next().At16(12)), channels); // the profile tells them
        std::vector<uint32_t> held;
        for (int i = 0; i < channels; ++i) {
            a->Send(ConnectReqMsg(kB.toLatin1(), "bezet"));
            held.push_back(a->Expect(ConnectConf).Address());
            b->Send(ConnectRespMsg(b->Expect(ConnectInd).Address(), 0));
            a->Expect(ConnectActiveInd);
            b->Expect(ConnectActiveInd);
        }
        auto reason = [](RawClient& from, const QString& to) {
            from.Send(ConnectReqMsg(to.toLatin1(), "nog een"));
            const uint32_t plci = from.Expect(ConnectConf).Address();
            const Frame f = from.Expect(DisconnectInd);
            from.Send(Msg(DisconnectResp, plci));
            return int(f.Value());
        };
        QCOMPARE(reason(*c, kB), 0x3491); // called line full: user busy
        QCOMPARE(reason(*c, kA), 0x3491);
        QCOMPARE(reason(*a, kC), 0x34a2); // own line full: no channel
        // One call ends, one channel comes free on both lines.
        a->Send(Msg(DisconnectReq, held.front(), Struct({})));
        a->Expect(DisconnectConf);
        a->Expect(DisconnectInd);
        a->Send(Msg(DisconnectResp, held.front()));
        b->Send(Msg(DisconnectResp, b->Expect(DisconnectInd).Address()));
        c->Send(ConnectReqMsg(kB.toLatin1(), "nu wel"));
        QVERIFY(b->Expect(ConnectInd).bytes.contains("nu wel"));
    }

    // ALERT_REQ once per call: after that the caller hears ringing already.
    void secondAlert_data()
    {
        QTest::addColumn<bool>("sameApplication");
        QTest::newRow("same application") << true;
        QTest::newRow("another application on the line") << false;
    }
    void secondAlert()
    {
        QFETCH(bool, sameApplication);
        auto first = Client(kB);
        auto second = Client(kB);
        auto caller = Client(kA);
        QVERIFY(first->Listen(kAllServices) && second->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "tring"));
        const uint32_t p1 = first->Expect(ConnectInd).Address();
        const uint32_t p2 = second->Expect(ConnectInd).Address();
        first->Send(Msg(AlertReq, p1, Struct({})));
        QCOMPARE(first->Expect(AlertConf).Value(), InfoOk);
        RawClient& again = sameApplication ? *first : *second;
        again.Send(Msg(AlertReq, sameApplication ? p1 : p2, Struct({})));
        QCOMPARE(again.Expect(AlertConf).Value(), uint16_t(0x0003));
    }

    // Octet 3a belongs to the calling number only: a called number is its
    // type octet and digits, whatever bit 7 of the type says.
    void calledNumberType_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("0x81: unknown, ISDN plan, last octet") << 0x81;
        QTest::newRow("0x01: bit 7 clear") << 0x01;
    }
    void calledNumberType()
    {
        QFETCH(int, type);
        auto receiver = Client(kB);
        auto sender = Client(kA);
        QVERIFY(receiver->Listen(kAllServices));
        sender->Send(Msg(ConnectReq, 1, U16(2) + Struct(char(type) + kB.toLatin1()) + Struct({}) + Struct({}) +
                                            Struct("\x81type") + QByteArray(5, '\0')));
        QCOMPARE(sender->Expect(ConnectConf).Value(), InfoOk);
        QVERIFY(receiver->Expect(ConnectInd).bytes.contains(Struct("\x81" + kB.toLatin1())));
    }

    // The receiver gets no more unanswered DATA_B3_INDs than its
    // MaxBDataBlocks; the sender's DATA_B3_CONF comes as its block goes on,
    // and a sender that floods on is told the queue is full.
    void maxDataBlocks_data()
    {
        QTest::addColumn<int>("maxBlocks");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
        QTest::newRow("seven") << 7;
    }
    void maxDataBlocks()
    {
        QFETCH(int, maxBlocks);
        constexpr int kWaiting = 8; // what the exchange keeps back for a receiver
        auto callee = Client(kB, false);
        QCOMPARE(callee->RegisterInfo(128, 2, uint16_t(maxBlocks)), InfoOk);
        auto caller = Client(kA);
        QVERIFY(callee->Listen(kAllServices));
        caller->Send(ConnectReqMsg(kB.toLatin1(), "data"));
        const uint32_t a = caller->Expect(ConnectConf).Address();
        callee->Send(ConnectRespMsg(callee->Expect(ConnectInd).Address(), 0));
        caller->Expect(ConnectActiveInd);
        callee->Expect(ConnectActiveInd);
        caller->Send(Msg(ConnectB3Req, a, Struct({})));
        const uint32_t ncciA = caller->Expect(ConnectB3Conf).Address();
        const uint32_t ncciB = callee->Expect(ConnectB3Ind).Address();
        callee->Send(Msg(ConnectB3Resp, ncciB, U16(0) + Struct({})));
        callee->Expect(ConnectB3ActiveInd);
        caller->Expect(ConnectB3ActiveInd);

        const int sent = maxBlocks + kWaiting + 1;
        for (int i = 0; i < sent; ++i)
            caller->Send(Msg(DataB3Req, ncciA, U32(0) + U16(1) + U16(uint16_t(100 + i)) + U16(0)) + char('a' + i));
        int delivered = 0;
        auto take = [&] { // the next block: confirmed to the sender, delivered to the receiver
            QCOMPARE(caller->Expect(DataB3Conf).bytes.mid(12), U16(uint16_t(100 + delivered)) + U16(InfoOk));
            QCOMPARE(callee->Expect(DataB3Ind).bytes.mid(22), QByteArray(1, char('a' + delivered)));
            ++delivered;
        };
        for (int i = 0; i < maxBlocks; ++i)
            take();
        // The waiting ones are not confirmed yet; the last finds the queue full.
        QCOMPARE(caller->Expect(DataB3Conf).bytes.mid(12), U16(uint16_t(100 + sent - 1)) + U16(ErrQueueFull));
        QVERIFY(caller->Quiet() && callee->Quiet());
        // Zoemlijn answers with handle 0: each answer lets one more go.
        for (int i = 0; i < kWaiting; ++i) {
            callee->Send(Msg(DataB3Resp, ncciB, U16(0)));
            take();
            QVERIFY(caller->Quiet() && callee->Quiet());
        }
    }

    // The pcap shows the text in the SETUP's Calling party subaddress.
    void pcapRecordsSignalling()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("calls.pcap"));
        exchange::PcapWriter pcap;
        QVERIFY(pcap.Open(path.toStdString()));
        m_server->Core().SetObserver(&pcap);
        auto receiver = Client(kB);
        auto sender = Client(kA);
        QVERIFY(receiver->Listen(kAllServices));
        sender->Send(ConnectReqMsg(kB.toLatin1(), "in de subaddress"));
        const uint32_t a = sender->Expect(ConnectConf).Address();
        const uint32_t b = receiver->Expect(ConnectInd).Address();
        receiver->Send(ConnectRespMsg(b, 5));
        sender->Expect(DisconnectInd);
        sender->Send(Msg(DisconnectResp, a));
        receiver->Expect(DisconnectInd);
        receiver->Send(Msg(DisconnectResp, b));
        QVERIFY(Idle());
        m_server->Core().SetObserver(nullptr);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.left(4), Hex("d4c3b2a1"));
        QCOMPARE(capi::GetU32(reinterpret_cast<const uint8_t*>(bytes.constData()) + 20), 177u);
        QVERIFY(bytes.contains(Hex("6d11 81") + "in de subaddress"));
        QVERIFY(bytes.contains(Hex("5a 0802 829d"))); // RELEASE COMPLETE, cause 29

        const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
        if (tshark.isEmpty())
            QSKIP("tshark not installed; the file itself was checked");
        QProcess p;
        p.start(tshark, {QStringLiteral("-r"), path, QStringLiteral("-V")});
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("Message type: SETUP")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Calling party subaddress")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Facility rejected")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("0302222222")), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestExchange)
#include "TestExchange.moc"
