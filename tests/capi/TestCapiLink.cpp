// CCapiLink against the fake driver: registration and queries, every
// dispatcher row, the incoming-call steps, and the receive thread's
// notifications and shutdown.
#include "CapiDefs.h"
#include "CapiDriver.h"
#include "CapiLink.h"
#include "DriverCall.h"
#include "FakeCapiDriver.h"
#include "FakePlatform.h"

#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <deque>
#include <memory>

using namespace capi;

namespace {

QByteArray Hex(const char* spaced) { return QByteArray::fromHex(QByteArray(spaced).replace(' ', "")); }

// A received message: header with the given code and address, then params.
QByteArray Msg(uint16_t code, uint8_t plci, uint16_t ncci, const QByteArray& params = {})
{
    QByteArray m(12, '\0');
    m += params;
    uint8_t* p = reinterpret_cast<uint8_t*>(m.data());
    Header h;
    h.length = uint16_t(m.size());
    h.applId = 7;
    h.command = CommandOf(code);
    h.subcommand = SubcommandOf(code);
    h.address = Address(1, plci, ncci);
    PutHeader(p, h);
    return m;
}

QByteArray U16(uint16_t v) { return QByteArray(1, char(v & 0xff)) + QByteArray(1, char(v >> 8)); }

QByteArray IncomingCall(uint8_t plci, uint16_t cip, const QByteArray& called, const QByteArray& calling,
                      const QByteArray& text)
{
    auto st = [](const QByteArray& contents) { return QByteArray(1, char(contents.size())) + contents; };
    return Msg(ConnectInd, plci, 0,
               U16(cip) + st(called) + st(calling) + st({}) + st(text) + QByteArray(4, '\0'));
}

// The window as the link sees it. Tasks run inline, wait for the test thread
// to run them, or are never run at all.
class RecordingOwner final : public ICapiOwner
{
public:
    enum class Mode { Inline, Queued, Never };
    explicit RecordingOwner(Mode mode = Mode::Inline) : m_mode(mode) {}

    struct Seen
    {
        unsigned code;
        std::string callingNumber, calledNumber, callText, callType;
        bool linkDown;
    };

    void OnCapiNotify(CCapiLink& link, unsigned code) override
    {
        Seen s{code, link.CallingNumber(), link.CalledNumber(), link.CallText(), link.CallType(), link.IsLinkDown()};
        std::lock_guard lock(m_mutex);
        m_seen.push_back(s);
    }
    void PostToOwner(std::function<void()> task) override
    {
        if (m_mode == Mode::Inline) {
            task();
            return;
        }
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        ++m_posted;
    }
    bool RunOne()
    {
        std::function<void()> task;
        {
            std::lock_guard lock(m_mutex);
            if (m_tasks.empty())
                return false;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        return true;
    }
    // Runs what was posted, as the window's event loop would.
    int RunPosted()
    {
        int n = 0;
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(m_mutex);
                if (m_tasks.empty())
                    return n;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
            ++n;
        }
    }
    std::vector<Seen> Notifications() const
    {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    std::vector<unsigned> Codes() const
    {
        std::vector<unsigned> codes;
        for (const auto& s : Notifications())
            codes.push_back(s.code);
        return codes;
    }
    int Posted() const
    {
        std::lock_guard lock(m_mutex);
        return m_posted;
    }

private:
    Mode m_mode;
    mutable std::mutex m_mutex;
    std::vector<Seen> m_seen;
    std::deque<std::function<void()>> m_tasks;
    int m_posted = 0;
};

using Codes = std::vector<unsigned>;

// Short bounds, so that a driver that says nothing fails soon.
constexpr int kBound = 150;

enum class Op { Register, Release, Listen, Connect, Version, Profile };

} // namespace

class TestCapiLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registration();
    void releaseTwiceLogsTheSecondError();
    void identityQueries();
    void identityQueryFailures();
    void withoutLibraryNothingIsCalled();

    void dispatcher_data();
    void dispatcher();
    void answersTakeTheLinksAddress_data();
    void answersTakeTheLinksAddress();
    void infoIndLine_data();
    void infoIndLine();
    void connectB3ReqRefused();
    void fetchErrors();
    void incomingCall_data();
    void incomingCall();
    void callTypeTexts_data();
    void callTypeTexts();
    void callDataBelongToOneCall();
    void callingNumberType_data();
    void callingNumberType();
    void rejectRefusedAnnouncesNothing();
    void extractStruct_data();
    void extractStruct();
    void dataB3Ind_data();
    void dataB3Ind();
    void connectCall();

    // Receive thread
    void notificationsInOrderAndSynchronous();
    void listenConfirmationFromTheThread();
    void listenWithoutThreadIsBounded();
    void listenWithoutThreadFetchesAnotherMessage_data();
    void listenWithoutThreadFetchesAnotherMessage();
    void unregisteredLinkStartsNoThread();
    void stopWhileBlockedInDriver();
    void stopWhileNotificationPending();
    void destroyedWithoutRelease();
    void shutdownIsBounded_data();
    void shutdownIsBounded();
    void wakeUpDescriptorWakesTheThread();
    void failingDriverDoesNotSpin();
    void recoversAfterOutage_data();
    void recoversAfterOutage();
    void releaseDuringOutage();

    // Bounded driver calls
    void silentDriverCallFails_data();
    void silentDriverCallFails();
    void stuckQueryFailsTheNextAtOnce();
    void listenInHalves();
    void unregisteredLinkCallsNoDriver_data();
    void unregisteredLinkCallsNoDriver();

private:
    std::unique_ptr<FakeCapiDriver> m_driver;
    std::unique_ptr<CCapiLink> m_link;
    QStringList m_log;
    std::mutex m_logMutex;

    void RegisterLink(unsigned applId = 7)
    {
        m_driver->SetRegisterResult(0, applId);
        QVERIFY(m_link->RegisterCAPIAppl());
        std::lock_guard lock(m_logMutex);
        m_log.clear();
    }
    QStringList Log()
    {
        std::lock_guard lock(m_logMutex);
        return m_log;
    }
    uint16_t LastPutCode() const
    {
        const QByteArray m = m_driver->LastPut();
        return m.size() >= 6 ? Code(uint8_t(m[4]), uint8_t(m[5])) : 0;
    }
};

void TestCapiLink::init()
{
    m_driver = std::make_unique<FakeCapiDriver>();
    CapiBinding::SetDriverForTesting(m_driver.get());
    m_link = std::make_unique<CCapiLink>();
    m_log.clear();
    m_link->SetLogObserver([this](const std::string& line) {
        std::lock_guard lock(m_logMutex);
        m_log << QString::fromLatin1(line.c_str());
    });
}

void TestCapiLink::cleanup()
{
    m_link.reset();
    // Threads left in the driver hold it: they end before it goes.
    m_driver->Unstick();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    CapiBinding::ResetForTesting();
    m_driver.reset();
}

void TestCapiLink::registration()
{
    QCOMPARE(m_link->LogLine(), std::string());
    QCOMPARE(m_link->ErrorText(), std::string());

    m_driver->SetRegisterResult(0x1008, 0);
    QVERIFY(!m_link->RegisterCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("RegisterCAPIAppl: CAPI_REGISTER failed, error 0x1008./n"));
    QCOMPARE(m_link->ApplId(), 0u);
    QVERIFY(!m_link->IsRegistered());

    m_driver->SetRegisterResult(0, 1);
    QVERIFY(m_link->RegisterCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("RegisterCAPIAppl: ApplId = 1."));
    QCOMPARE(m_link->ApplId(), 1u);
    // Message buffer 3072, 2 logical connections, 16 B3 blocks of 128 octets.
    const auto registrations = m_driver->Registrations();
    QCOMPARE(registrations.size(), size_t(2));
    for (const auto& r : registrations) {
        QCOMPARE(r.messageBufferSize, 3072u);
        QCOMPARE(r.maxLogicalConnection, 2u);
        QCOMPARE(r.maxBDataBlocks, 16u);
        QCOMPARE(r.maxBDataLen, 128u);
    }

    QVERIFY(m_link->ReleaseCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("ReleaseCAPIAppl: ApplId =  1 released successfuly."));
    QCOMPARE(m_link->ApplId(), 1u);
}

void TestCapiLink::releaseTwiceLogsTheSecondError()
{
    RegisterLink(5);
    QVERIFY(m_link->ReleaseCAPIAppl());
    m_driver->SetReleaseResult(0x1101);
    QVERIFY(!m_link->ReleaseCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("ReleaseCAPIAppl: CAPI_RELEASE failed, error 0x1101."));
    QCOMPARE(m_driver->Released(), (std::vector<unsigned>{5, 5}));
}

void TestCapiLink::identityQueries()
{
    QByteArray profile(64, '\0');
    auto* p = reinterpret_cast<uint8_t*>(profile.data());
    PutU16(p, 1);
    PutU16(p + 2, 2);
    PutU32(p + 4, 0x1);
    PutU32(p + 8, 0x3);
    PutU32(p + 12, 0x1);
    PutU32(p + 16, 0x12345); // above bit 15: the field widens
    m_driver->SetIdentity("LabExchange", "1234567", {2, 0, 1, 10}, profile);

    std::string text, l1, l2, l3;
    QVERIFY(m_link->GetCAPIManufacturer(text));
    QCOMPARE(text, std::string("LabExchange"));
    QVERIFY(m_link->GetCAPISerialNumber(text));
    QCOMPARE(text, std::string("CAPI serienummer is: 1234567"));
    QVERIFY(m_link->GetCAPIVersion(text));
    QCOMPARE(text, std::string("CAPI ver 2.0, Manufacturer number 1.a."));
    QVERIFY(m_link->GetCAPIProfile(l1, l2, l3));
    QCOMPARE(l1, std::string("Aantal controllers: 1 ; B1 Proto: 0x0003"));
    QCOMPARE(l2, std::string("Aantal B-kanalen: 2 ; B2 Proto: 0x0001"));
    QCOMPARE(l3, std::string("Algemene opties: 0x0001 ; B3 Proto: 0x12345"));
}

void TestCapiLink::identityQueryFailures()
{
    m_driver->SetIdentity("", "", {}, QByteArray(), 0x1109);
    std::string serial, version;
    QVERIFY(!m_link->GetCAPISerialNumber(serial));
    QCOMPARE(serial, std::string("CAPI_GET_SERIAL_NUMBER failed, error 0x1109."));
    QVERIFY(!m_link->GetCAPIVersion(version));
    QCOMPARE(version, std::string("CAPI_GET_VERSION failed, error 0x1109."));
    std::string l1 = "a", l2 = "b", l3 = "c";
    QVERIFY(!m_link->GetCAPIProfile(l1, l2, l3));
    QCOMPARE(m_link->LogLine(), std::string("GetCAPIProfile: CAPI_GET_PROFILE failed, error 0x1109./n"));
    QCOMPARE(l1 + l2 + l3, std::string("abc"));
}

void TestCapiLink::withoutLibraryNothingIsCalled()
{
    CapiBinding::ResetForTesting();
    CapiBinding::SetLibraryNameForTesting("libcapi-that-is-not-there.so.9");
    FakePlatform platform;

    CCapiLink link;
    QVERIFY(!link.LoadCAPIDll());
    QCOMPARE(platform.messages, QStringList{"Laden van Capi2032.dll lukte niet!, probeer opnieuw"});
    QVERIFY(!CapiBinding::IsBound());

    // Every operation fails its usual way, without a library to call.
    QVERIFY(!link.RegisterCAPIAppl());
    QCOMPARE(link.LogLine(), std::string("RegisterCAPIAppl: CAPI_REGISTER failed, error 0x1009./n"));
    QVERIFY(!link.StartCAPIThread());
    QVERIFY(!link.ListenCAPIAppl());
    QVERIFY(!link.ConnectCAPICall("123", "hoi", 2));
    QCOMPARE(link.LogLine(), std::string("CAPI_PUT_MESSAGE failed, error 0x1109."));
    QVERIFY(!link.ReceiveCAPIMsg());
    std::string text, l1, l2, l3;
    QVERIFY(link.GetCAPIManufacturer(text));
    QCOMPARE(text, std::string());
    QVERIFY(!link.GetCAPIVersion(text));
    QVERIFY(!link.GetCAPISerialNumber(text));
    QVERIFY(!link.GetCAPIProfile(l1, l2, l3));
    QVERIFY(!link.ReleaseCAPIAppl());
    QCOMPARE(platform.messages.size(), 1);
}

void TestCapiLink::dispatcher_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<unsigned>("putResult"); // for every answer the row sends
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QList<int>>("sent"); // codes of the messages put, in order
    QTest::addColumn<int>("plci");
    QTest::addColumn<int>("ncci");
    QTest::addColumn<Codes>("notified");

    // The link starts each row with PLCI 3 and NCCI 0x0203.
    const Codes none;
    const Codes cleared{NC_CALL_CLEARED};
    const QByteArray ok = U16(0), bad = U16(0x2002);

    QTest::newRow("ALERT_CONF ok: rejects") << Msg(AlertConf, 3, 0, ok) << 0u << "CONNECT_RESP OK." << true
                                            << QList<int>{ConnectResp} << 3 << 0x203 << none;
    QTest::newRow("ALERT_CONF ok, answer refused") << Msg(AlertConf, 3, 0, ok) << 0x1108u << "CONNECT_RESP NOK."
                                                   << false << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("ALERT_CONF NOK") << Msg(AlertConf, 3, 0, bad) << 0u << "ALERT_CONF NOK, Info = 0x2002" << false
                                    << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("CONNECT_CONF ok sets PLCI") << Msg(ConnectConf, 9, 0, ok) << 0u << "CONNECT_CONF OK, PLCI = 9."
                                               << true << QList<int>{} << 9 << 0x203 << none;
    QTest::newRow("CONNECT_CONF NOK keeps PLCI") << Msg(ConnectConf, 9, 0, bad) << 0u
                                                 << "CONNECT_CONF NOK, Info = 0x2002" << false << QList<int>{} << 3
                                                 << 0x203 << none;
    QTest::newRow("DISCONNECT_CONF") << Msg(DisconnectConf, 3, 0, bad) << 0u << "DISCONNECT_CONF, Info = 0x2002"
                                     << true << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("LISTEN_CONF ok") << Msg(ListenConf, 0, 0, ok) << 0u << "LISTEN_CONF OK." << true << QList<int>{}
                                    << 3 << 0x203 << none;
    QTest::newRow("LISTEN_CONF NOK") << Msg(ListenConf, 0, 0, U16(0x2005)) << 0u << "LISTEN_CONF NOK, Info = 0x2005"
                                     << false << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("INFO_CONF") << Msg(InfoConf, 3, 0, ok) << 0u << "INFO_CONF, Info = 0x0000" << true << QList<int>{}
                               << 3 << 0x203 << none;
    QTest::newRow("CONNECT_B3_CONF ok sets NCCI") << Msg(ConnectB3Conf, 3, 0x0105, ok) << 0u
                                                  << "CONNECT_B3_CONF OK, NCCI = 261." << true << QList<int>{} << 3
                                                  << 0x105 << none;
    QTest::newRow("CONNECT_B3_CONF NOK") << Msg(ConnectB3Conf, 3, 0x0105, bad) << 0u
                                         << "CONNECT_B3_CONF NOK, Info = 0x2002" << false << QList<int>{} << 3 << 0x203
                                         << none;
    QTest::newRow("DISCONNECT_B3_CONF") << Msg(DisconnectB3Conf, 3, 0, ok) << 0u
                                        << "DISCONNECT_B3_CONF, Info = 0x0000" << true << QList<int>{} << 3 << 0x203
                                        << none;
    QTest::newRow("DATA_B3_CONF ok, Info at 14") << Msg(DataB3Conf, 3, 0x203, U16(0x1234) + ok) << 0u
                                                 << "DATA_B3_CONF OK." << false << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("DATA_B3_CONF NOK") << Msg(DataB3Conf, 3, 0x203, U16(0) + U16(0x3008)) << 0u
                                      << "DATA_B3_CONF NOK, Info = 0x3008" << false << QList<int>{} << 3 << 0x203
                                      << none;
    QTest::newRow("RESET_B3_CONF") << Msg(ResetB3Conf, 3, 0, ok) << 0u << "RESET_B3_CONF, Info = 0x0000" << true
                                   << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("CONNECT_ACTIVE_IND asks for B3")
        << Msg(ConnectActiveInd, 3, 0, Hex("00 00 00")) << 0u << "CONNECT_B3_REQ OK." << true
        << QList<int>{ConnectActiveResp, ConnectB3Req} << 3 << 0x203 << none;
    QTest::newRow("CONNECT_ACTIVE_IND, answer refused") << Msg(ConnectActiveInd, 3, 0) << 0x1108u
                                                        << "CONNECT_ACTIVE_RESP NOK." << false << QList<int>{} << 3
                                                        << 0x203 << none;
    QTest::newRow("DISCONNECT_IND clears") << Msg(DisconnectInd, 3, 0, U16(0x349d)) << 0u
                                           << "ISDN connection is shutdown and PLCI = 0." << false
                                           << QList<int>{DisconnectResp} << 0 << 0x203 << cleared;
    QTest::newRow("DISCONNECT_IND, answer refused keeps PLCI")
        << Msg(DisconnectInd, 3, 0, U16(0x349d)) << 0x1108u << "DISCONNECT_RESP NOK." << true << QList<int>{} << 3
        << 0x203 << none;
    QTest::newRow("INFO_IND") << Msg(InfoInd, 3, 0, U16(0x0070) + Hex("03 41 42 43")) << 0u << "INFO_RESP OK."
                              << true << QList<int>{InfoResp} << 3 << 0x203 << none;
    QTest::newRow("INFO_IND, answer refused") << Msg(InfoInd, 3, 0, U16(0x0070) + Hex("00")) << 0x1108u
                                              << "INFO_RESP NOK." << false << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("CONNECT_B3_IND accepts") << Msg(ConnectB3Ind, 3, 0x0301, Hex("00")) << 0u << "CONNECT_B3_RESP OK."
                                            << true << QList<int>{ConnectB3Resp} << 3 << 0x301 << none;
    QTest::newRow("CONNECT_B3_IND, answer refused") << Msg(ConnectB3Ind, 3, 0x0301, Hex("00")) << 0x1108u
                                                    << "CONNECT_B3_RESP NOK." << false << QList<int>{} << 3 << 0x301
                                                    << none;
    QTest::newRow("CONNECT_B3_ACTIVE_IND") << Msg(ConnectB3ActiveInd, 3, 0x203, Hex("00")) << 0u
                                           << "ISDN connection established." << false
                                           << QList<int>{ConnectB3ActiveResp} << 3 << 0x203 << none;
    QTest::newRow("DISCONNECT_B3_IND") << Msg(DisconnectB3Ind, 3, 0x203, U16(0) + Hex("00")) << 0u
                                       << "(Passive Disconnect)" << false << QList<int>{DisconnectB3Resp} << 3 << 0
                                       << none;
    QTest::newRow("DISCONNECT_B3_IND, answer refused still clears NCCI")
        << Msg(DisconnectB3Ind, 3, 0x203, U16(0) + Hex("00")) << 0x1108u << "(Passive Disconnect)" << false
        << QList<int>{} << 3 << 0 << none;
    QTest::newRow("RESET_B3_IND") << Msg(ResetB3Ind, 3, 0x203, Hex("00")) << 0u << "RESET_B3_RESP OK." << true
                                  << QList<int>{ResetB3Resp} << 3 << 0x203 << none;
    QTest::newRow("RESET_B3_IND, answer refused") << Msg(ResetB3Ind, 3, 0x203, Hex("00")) << 0x1108u
                                                  << "RESET_B3_RESP NOK." << false << QList<int>{} << 3 << 0x203
                                                  << none;
    QTest::newRow("CONNECT_CONF as 0x8103 is out of sequence")
        << Msg(0x8103, 3, 0, ok) << 0u << "Out of sequence CAPI cmd retrieved, 0x8103.\n" << true << QList<int>{} << 3
        << 0x203 << none;
    QTest::newRow("FACILITY_IND is out of sequence") << Msg(0x8280, 3, 0, ok) << 0u
                                                     << "Out of sequence CAPI cmd retrieved, 0x8280.\n" << true
                                                     << QList<int>{} << 3 << 0x203 << none;
    QTest::newRow("confirmation cut before its Info") << Msg(ConnectConf, 9, 0).left(11) << 0u
                                                      << "CONNECT_CONF NOK, message too short (11 octets)" << false
                                                      << QList<int>{} << 3 << 0x203 << none;
}

void TestCapiLink::dispatcher()
{
    QFETCH(QByteArray, message);
    QFETCH(unsigned, putResult);
    QFETCH(QString, logLine);
    QFETCH(bool, result);
    QFETCH(QList<int>, sent);
    QFETCH(int, plci);
    QFETCH(int, ncci);
    QFETCH(Codes, notified);

    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    // Put the link in a call with a logical connection.
    m_driver->Queue(Msg(ConnectConf, 3, 0, U16(0)));
    m_driver->Queue(Msg(ConnectB3Conf, 3, 0x0203, U16(0)));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QVERIFY(m_link->ReceiveCAPIMsg());
    const size_t putsBefore = m_driver->Puts().size();

    if (putResult != 0)
        m_driver->FailNextPuts({putResult, putResult});
    m_driver->Queue(message);
    QCOMPARE(m_link->ReceiveCAPIMsg(), result);
    QCOMPARE(QString::fromLatin1(m_link->LogLine().c_str()), logLine);

    QList<int> codes;
    const auto puts = m_driver->Puts();
    for (size_t i = putsBefore; i < puts.size(); ++i)
        codes << Code(uint8_t(puts[i][4]), uint8_t(puts[i][5]));
    QCOMPARE(codes, sent);
    // Answers carry the link's current address.
    for (size_t i = putsBefore; i < puts.size(); ++i) {
        QCOMPARE(uint8_t(puts[i][8]), uint8_t(1));
        QCOMPARE(uint8_t(puts[i][6]), uint8_t(0)); // message number
    }
    QCOMPARE(int(m_link->Plci()), plci);
    QCOMPARE(int(m_link->Ncci()), ncci);
    QCOMPARE(owner.Codes(), notified);
}

void TestCapiLink::answersTakeTheLinksAddress_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("address"); // octets 8 to 11 of every answer

    // The link holds controller 1, PLCI 3, NCCI 0x0203; every indication
    // comes on controller 2, PLCI 9, NCCI 0x0909.
    auto elsewhere = [](uint16_t code, const QByteArray& params) {
        QByteArray m = Msg(code, 9, 0x0909, params);
        m[8] = char(2);
        return m;
    };
    const QByteArray link = Hex("01 03 03 02");
    QTest::newRow("ALERT_CONF's CONNECT_RESP") << elsewhere(AlertConf, U16(0)) << link;
    QTest::newRow("CONNECT_ACTIVE_RESP and CONNECT_B3_REQ") << elsewhere(ConnectActiveInd, Hex("00 00 00")) << link;
    QTest::newRow("DISCONNECT_RESP") << elsewhere(DisconnectInd, U16(0x3490)) << link;
    QTest::newRow("INFO_RESP") << elsewhere(InfoInd, U16(0x0070) + Hex("00")) << link;
    QTest::newRow("CONNECT_B3_ACTIVE_RESP") << elsewhere(ConnectB3ActiveInd, Hex("00")) << link;
    QTest::newRow("DISCONNECT_B3_RESP") << elsewhere(DisconnectB3Ind, U16(0) + Hex("00")) << link;
    QTest::newRow("RESET_B3_RESP") << elsewhere(ResetB3Ind, Hex("00")) << link;
    QTest::newRow("DATA_B3_RESP") << elsewhere(DataB3Ind, Hex("00000000 0000 3412 0000")) << link;
    // These two take one part from the indication into the link first.
    QTest::newRow("CONNECT_RESP: the indication's PLCI, the link's NCCI")
        << elsewhere(ConnectInd, U16(2) + Hex("00 00 00 00 00 00 00 00")) << Hex("01 09 03 02");
    QTest::newRow("CONNECT_B3_RESP: the link's PLCI, the indication's NCCI")
        << elsewhere(ConnectB3Ind, Hex("00")) << Hex("01 03 09 09");
}

void TestCapiLink::answersTakeTheLinksAddress()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, address);
    RegisterLink();
    m_driver->Queue(Msg(ConnectConf, 3, 0, U16(0)));
    m_driver->Queue(Msg(ConnectB3Conf, 3, 0x0203, U16(0)));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QVERIFY(m_link->ReceiveCAPIMsg());
    const size_t putsBefore = m_driver->Puts().size();

    m_driver->Queue(message);
    m_link->ReceiveCAPIMsg();
    const auto puts = m_driver->Puts();
    QVERIFY(puts.size() > putsBefore);
    for (size_t i = putsBefore; i < puts.size(); ++i)
        QCOMPARE(puts[i].mid(8, 4).toHex(' '), address.toHex(' '));
}

void TestCapiLink::infoIndLine_data()
{
    QTest::addColumn<QByteArray>("element"); // the Info element structure and what follows
    QTest::addColumn<QByteArray>("shown");   // after "Info element = "

    QTest::newRow("from the length octet on") << Hex("03 41 42 43") << QByteArray("\x03" "ABC");
    QTest::newRow("a zero octet ends it") << Hex("04 41 00 42 43") << QByteArray("\x04" "A");
    QTest::newRow("empty element") << Hex("00") << QByteArray();
    QTest::newRow("not past the structure") << Hex("02 41 42 43 44") << QByteArray("\x02" "AB");
    QTest::newRow("not past the message") << Hex("09 41 42") << QByteArray("\x09" "AB");
}

void TestCapiLink::infoIndLine()
{
    QFETCH(QByteArray, element);
    QFETCH(QByteArray, shown);
    RegisterLink();
    m_driver->Queue(Msg(InfoInd, 3, 0, U16(0x8070) + element));
    QVERIFY(m_link->ReceiveCAPIMsg());
    const QStringList log = Log();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0], "INFO_IND, Info# = 0x8070, Info element = " + QString::fromLatin1(shown));
    QCOMPARE(log[1], QString("INFO_RESP OK."));
}

void TestCapiLink::connectB3ReqRefused()
{
    RegisterLink();
    m_driver->FailNextPuts({0, 0x1108}); // CONNECT_ACTIVE_RESP taken, CONNECT_B3_REQ refused
    m_driver->Queue(Msg(ConnectActiveInd, 3, 0, Hex("00 00 00")));
    QVERIFY(!m_link->ReceiveCAPIMsg());
    QCOMPARE(Log(), (QStringList{"CONNECT_ACTIVE_IND OK.", "CONNECT_ACTIVE_RESP OK.",
                                 "SubmitCAPIMsg: CAPI_PUT_MESSAGE failed, error 0x1108.", "CONNECT_B3_REQ NOK."}));
    QCOMPARE(LastPutCode(), uint16_t(ConnectActiveResp));
}

void TestCapiLink::fetchErrors()
{
    RegisterLink();
    QVERIFY(!m_link->ReceiveCAPIMsg()); // nothing queued
    QCOMPARE(m_link->LogLine(), std::string("Appl. queue is empty, retry later."));

    m_driver->SetRegisterResult(0, 7);
    m_driver->SetBroken(false);
    CapiBinding::ResetForTesting(); // nothing bound: the fetch fails with its own code
    QVERIFY(!m_link->ReceiveCAPIMsg());
    QCOMPARE(m_link->ErrorText(), std::string("CAPI_GET_MESSAGE failed, error 0x1109.\n"));
    QCOMPARE(m_link->LogLine(), std::string("Appl. queue is empty, retry later."));
}

void TestCapiLink::incomingCall_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("callType");
    QTest::addColumn<QByteArray>("called");
    QTest::addColumn<QByteArray>("calling");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("notAvailable"); // "not available" lines logged on the way

    QTest::newRow("plain call")
        << IncomingCall(5, 2, Hex("80 35"), Hex("01 80 31 32 33 34 35"), "\x81hallo") << "Unrestricted digital information"
        << QByteArray("5") << QByteArray("12345") << QByteArray("hallo") << 0;
    QTest::newRow("calling number with type octet 0x81")
        << IncomingCall(5, 16, Hex("80 35"), Hex("81 31 32 33 34 35"), "\x81x") << "ISDN-Telefonie" << QByteArray("5")
        << QByteArray("12345") << QByteArray("x") << 0;
    QTest::newRow("calling number withheld")
        << IncomingCall(5, 2, Hex("80 35"), {}, "\x81hoi") << "Unrestricted digital information" << QByteArray("5")
        << QByteArray() << QByteArray("hoi") << 1;
    QTest::newRow("no numbers at all") << IncomingCall(5, 1, {}, {}, "\x81x") << "speech-mobiele telefonie"
                                       << QByteArray() << QByteArray() << QByteArray("x") << 2;
    QTest::newRow("CIP 3 is unlisted") << IncomingCall(5, 3, Hex("80 35"), Hex("81 39"), "\x81x") << ""
                                       << QByteArray("5") << QByteArray("9") << QByteArray("x") << 0;
    QTest::newRow("CIP 26") << IncomingCall(5, 26, Hex("80 35"), Hex("81 39"), "\x81x") << "7kHz-Telefoon"
                            << QByteArray("5") << QByteArray("9") << QByteArray("x") << 0;
    QTest::newRow("empty subaddress") << IncomingCall(5, 2, Hex("80 35"), Hex("81 39"), {})
                                      << "Unrestricted digital information" << QByteArray("5") << QByteArray("9")
                                      << QByteArray() << 0;
    QTest::newRow("8-bit text round-trips") << IncomingCall(5, 2, Hex("80 35"), Hex("81 39"), "\x81\xe9\xe8\x80\xff")
                                            << "Unrestricted digital information" << QByteArray("5")
                                            << QByteArray("9") << QByteArray("\xe9\xe8\x80\xff") << 0;
    QTest::newRow("markup is just text") << IncomingCall(5, 2, Hex("80 35"), Hex("81 39"), "\x81<b>x</b>")
                                         << "Unrestricted digital information" << QByteArray("5") << QByteArray("9")
                                         << QByteArray("<b>x</b>") << 0;
    // The subaddress claims 20 octets but the message ends after 3.
    QByteArray cut = IncomingCall(5, 2, Hex("80 35"), Hex("81 39"), {}).left(20) + Hex("00 14 81 61 62");
    cut[0] = char(cut.size());
    QTest::newRow("subaddress runs past the message") << cut << "Unrestricted digital information"
                                                      << QByteArray("5") << QByteArray("9") << QByteArray("ab") << 0;
    QByteArray stub = Msg(ConnectInd, 5, 0, U16(2));
    QTest::newRow("message ends after the CIP value") << stub << "Unrestricted digital information" << QByteArray()
                                                      << QByteArray() << QByteArray() << 2;
}

void TestCapiLink::incomingCall()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, callType);
    QFETCH(QByteArray, called);
    QFETCH(QByteArray, calling);
    QFETCH(QByteArray, text);
    QFETCH(int, notAvailable);

    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->Queue(message);
    QVERIFY(m_link->ReceiveCAPIMsg());

    QCOMPARE(m_link->LogLine(), std::string("CONNECT_RESP OK."));
    QCOMPARE(Log().first(), QString("CONNECT_IND OK, PLCI = 5."));
    QCOMPARE(Log().count("not available"), notAvailable);
    QCOMPARE(int(m_link->Plci()), 5);
    // Rejected at once with Reject 5, on the indication's PLCI.
    QCOMPARE(m_driver->LastPut().toHex(' '), Hex("13 00 07 00 02 83 00 00 01 05 00 00 05 00 00 00 00 00 00").toHex(' '));
    // The owner reads the call data while it handles NC_CALL_INFO.
    const auto seen = owner.Notifications();
    QCOMPARE(seen.size(), size_t(1));
    QCOMPARE(seen[0].code, unsigned(NC_CALL_INFO));
    QCOMPARE(QString::fromLatin1(seen[0].callType.c_str()), callType);
    QCOMPARE(QByteArray::fromStdString(seen[0].calledNumber), called);
    QCOMPARE(QByteArray::fromStdString(seen[0].callingNumber), calling);
    QCOMPARE(QByteArray::fromStdString(seen[0].callText), text);
}

void TestCapiLink::callTypeTexts_data()
{
    QTest::addColumn<int>("cip");
    QTest::addColumn<QString>("text");
    QTest::newRow("CIP 1") << 1 << "speech-mobiele telefonie";
    QTest::newRow("CIP 2") << 2 << "Unrestricted digital information";
    QTest::newRow("CIP 4") << 4 << "Analoge-telefoon-3.1kHz";
    QTest::newRow("CIP 5") << 5 << "Incoming 7.0 kHz audio";
    QTest::newRow("CIP 6") << 6 << "Incoming video call";
    QTest::newRow("CIP 16") << 16 << "ISDN-Telefonie";
    QTest::newRow("CIP 17") << 17 << "Fax-groep-2/3";
    QTest::newRow("CIP 18") << 18 << "ISDN-Fax-groep-4";
    QTest::newRow("CIP 26") << 26 << "7kHz-Telefoon";
    QTest::newRow("CIP 0 is unlisted") << 0 << "";
    QTest::newRow("CIP 7 is unlisted") << 7 << "";
    QTest::newRow("CIP 19 is unlisted") << 19 << "";
    QTest::newRow("CIP 27 is unlisted") << 27 << "";
}

void TestCapiLink::callTypeTexts()
{
    QFETCH(int, cip);
    QFETCH(QString, text);
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->Queue(IncomingCall(5, uint16_t(cip), Hex("80 35"), Hex("81 39"), "\x81x"));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QCOMPARE(QString::fromLatin1(owner.Notifications().at(0).callType.c_str()), text);
}

void TestCapiLink::callingNumberType_data()
{
    QTest::addColumn<QByteArray>("calling"); // the Calling party number's contents
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QString>("type");
    QTest::newRow("unknown, numbering plan ISDN") << Hex("81 33 30 31") << QByteArray("301") << "0";
    QTest::newRow("international") << Hex("91 33 31 33 30") << QByteArray("3130") << "1";
    QTest::newRow("national") << Hex("a1 33 30") << QByteArray("30") << "2";
    QTest::newRow("subscriber") << Hex("c1 31 32") << QByteArray("12") << "4";
    QTest::newRow("international, presentation octet present")
        << Hex("11 80 33 31") << QByteArray("31") << "1";
    QTest::newRow("national, presentation restricted") << Hex("21 a3 35") << QByteArray("5") << "2";
    QTest::newRow("type octet only") << Hex("a1") << QByteArray() << "2";
    QTest::newRow("withheld: no type") << QByteArray() << QByteArray() << "";
}

void TestCapiLink::callingNumberType()
{
    QFETCH(QByteArray, calling);
    QFETCH(QByteArray, number);
    QFETCH(QString, type);
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    // An earlier international caller: its type must not stay behind.
    m_driver->Queue(IncomingCall(4, 2, Hex("80 35"), Hex("91 39 39"), "\x81x"));
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), calling, "\x81x"));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QCOMPARE(m_link->CallingNumberType(), std::string("1"));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QCOMPARE(QByteArray::fromStdString(m_link->CallingNumber()), number);
    QCOMPARE(QString::fromStdString(m_link->CallingNumberType()), type);
}

void TestCapiLink::callDataBelongToOneCall()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("01 80 31 31 31"), "\x81" "eerste"));
    m_driver->Queue(IncomingCall(6, 3, Hex("80 35"), {}, {}));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QVERIFY(m_link->ReceiveCAPIMsg());
    // The second caller withheld the number: not shown as the first caller's.
    QCOMPARE(m_link->CallingNumber(), std::string());
    QCOMPARE(m_link->CallText(), std::string());
    QCOMPARE(m_link->CallType(), std::string());
    QCOMPARE(m_link->CalledNumber(), std::string("5"));
}

void TestCapiLink::rejectRefusedAnnouncesNothing()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->FailNextPuts({0x1108});
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 39"), "\x81x"));
    QVERIFY(!m_link->ReceiveCAPIMsg());
    QCOMPARE(m_link->LogLine(), std::string("CONNECT_RESP NOK."));
    QVERIFY(owner.Codes().empty());
}

void TestCapiLink::extractStruct_data()
{
    QTest::addColumn<QByteArray>("structure");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("type octet with bit 7") << Hex("06 81 31 32 33 34 35") << QByteArray("12345");
    QTest::newRow("presentation octet follows") << Hex("07 01 80 31 32 33 34 35") << QByteArray("12345");
    QTest::newRow("no octet with bit 7: nothing taken") << Hex("03 01 02 03") << QByteArray();
    QTest::newRow("only the type octet") << Hex("01 81") << QByteArray();
    QTest::newRow("subaddress text") << Hex("05 81 74 65 73 74") << QByteArray("test");
}

void TestCapiLink::extractStruct()
{
    QFETCH(QByteArray, structure);
    QFETCH(QByteArray, text);
    // Exactly the structure's octets, so ASan sees any read beyond them.
    std::vector<uint8_t> bytes(structure.begin(), structure.end());
    m_link->ExtractCAPIStruct(bytes[0], bytes.data());
    QCOMPARE(QByteArray::fromStdString(m_link->StructText()), text);
}

void TestCapiLink::dataB3Ind_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("data");       // appended with Data64 aimed at it
    QTest::addColumn<QString>("received");      // the "Data Received" line

    auto ind = [](uint16_t length, uint64_t data64) {
        QByteArray params = Hex("00 00 00 00") + U16(length) + U16(0x1234) + U16(0) + QByteArray(8, '\0');
        for (int i = 0; i < 8; ++i)
            params[10 + i] = char(data64 >> (8 * i));
        return Msg(DataB3Ind, 3, 0x203, params);
    };
    QTest::newRow("data behind the 30-octet message") << ind(5, 0) << QByteArray("hello")
                                                      << "Data Received (5 bytes) = hello";
    QTest::newRow("length beyond the driver's buffer") << ind(500, 0) << QByteArray("hello")
                                                       << "Data Received (500 bytes) = (data not readable)";
    QTest::newRow("address outside the buffer") << ind(5, 0x1000) << QByteArray()
                                                << "Data Received (5 bytes) = (data not readable)";
    QTest::newRow("22-octet form has no Data64") << ind(5, 0).left(22) << QByteArray()
                                                 << "Data Received (5 bytes) = (data not readable)";
}

void TestCapiLink::dataB3Ind()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, data);
    QFETCH(QString, received);
    RegisterLink();
    message[0] = char(message.size());
    if (data.isNull())
        m_driver->Queue(message);
    else
        m_driver->QueueWithData(message, data);
    QVERIFY(!m_link->ReceiveCAPIMsg());
    QCOMPARE(m_link->LogLine(), std::string("DATA_B3_RESP OK."));
    QVERIFY2(Log().contains(received), qPrintable(Log().join(" | ")));
    QVERIFY(Log().contains("DATA_B3_IND OK."));
    // The answer hands the block back by the indication's handle.
    QCOMPARE(m_driver->LastPut().mid(4, 2), Hex("86 83"));
    QCOMPARE(m_driver->LastPut().mid(12, 2), Hex("34 12"));
}

void TestCapiLink::connectCall()
{
    RegisterLink(0x0102);
    QVERIFY(m_link->ConnectCAPICall("12345", "test tekst", 2));
    QCOMPARE(m_driver->LastPut().toHex(' '),
             Hex("28 00 02 01 02 80 00 00 01 00 00 00 02 00 06 81 31 32 33 34 35 00 00 0B 81 74 65 73 74 20 74 65 6B 73 "
                 "74 00 00 00 00 00")
                 .toHex(' '));

    // No DISCONNECT_IND in between: the second call carries the first's PLCI.
    m_driver->Queue(Msg(ConnectConf, 0x21, 0, U16(0)));
    QVERIFY(m_link->ReceiveCAPIMsg());
    QVERIFY(m_link->ConnectCAPICall("1", "b", 2));
    QCOMPARE(uint8_t(m_driver->LastPut()[9]), uint8_t(0x21));

    const size_t puts = m_driver->Puts().size();
    QVERIFY(!m_link->ConnectCAPICall(std::string(56, '1'), "x", 2));
    QVERIFY(!m_link->ConnectCAPICall("1", std::string(56, 'x'), 2));
    QCOMPARE(m_link->LogLine(), std::string("ConnectCAPICall: number or text longer than 55 characters, not sent."));
    QCOMPARE(m_driver->Puts().size(), puts);
    QVERIFY(m_link->ConnectCAPICall(std::string(55, '1'), std::string(19, 'x'), 2));
    QCOMPARE(m_driver->LastPut().size(), qsizetype(99));

    m_driver->FailNextPuts({0x1108});
    QVERIFY(!m_link->ConnectCAPICall("1", "x", 2));
    QCOMPARE(m_link->LogLine(), std::string("CAPI_PUT_MESSAGE failed, error 0x1108."));
    QVERIFY(!m_link->SubmitCAPIMsg(ConnectReq));
    QCOMPARE(m_link->LogLine(), std::string("SubmitCAPIMsg: Invalid Msg 0x8002"));
    m_driver->FailNextPuts({0x1103});
    QVERIFY(!m_link->SubmitCAPIMsg(DisconnectResp));
    QCOMPARE(m_link->LogLine(), std::string("SubmitCAPIMsg: CAPI_PUT_MESSAGE failed, error 0x1103."));
}

// ---------------------------------------------------------------- receive thread

void TestCapiLink::notificationsInOrderAndSynchronous()
{
    RecordingOwner owner(RecordingOwner::Mode::Queued);
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 31 32"), "\x81" "een"));
    m_driver->Queue(Msg(DisconnectInd, 5, 0, U16(0x3490)));
    m_driver->Queue(IncomingCall(6, 2, Hex("80 35"), Hex("81 33 34"), "\x81" "twee"));
    QVERIFY(m_link->StartCAPIThread());

    // While the owner has not handled NC_CALL_INFO, the thread fetches nothing more.
    QTRY_COMPARE(owner.Posted(), 1);
    QTest::qWait(50);
    QCOMPARE(m_driver->GetCalls(), 1);
    QVERIFY(owner.RunOne());

    const Codes expected{NC_CALL_INFO, NC_MESSAGE, NC_CALL_CLEARED, NC_MESSAGE, NC_CALL_INFO, NC_MESSAGE};
    QTRY_VERIFY_WITH_TIMEOUT((owner.RunPosted(), owner.Codes().size() == expected.size()), 5000);
    QCOMPARE(owner.Codes(), expected);
    const auto seen = owner.Notifications();
    QCOMPARE(seen[0].callText, std::string("een"));
    QCOMPARE(seen[4].callText, std::string("twee"));
    QCOMPARE(seen[4].callingNumber, std::string("34"));

    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
    QVERIFY(!m_link->IsThreadRunning());
}

void TestCapiLink::listenConfirmationFromTheThread()
{
    RecordingOwner owner(RecordingOwner::Mode::Queued);
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->SetReply(ListenReq, Msg(ListenConf, 0, 0, U16(0)));
    QVERIFY(m_link->StartCAPIThread());
    QVERIFY(m_driver->WaitUntilWaiting(2000));

    // The thread fetches the confirmation and then waits on the owner, who is
    // still inside ListenCAPIAppl: the outcome must reach it all the same.
    QVERIFY(m_link->ListenCAPIAppl());
    QCOMPARE(m_driver->Puts().front().toHex(' '),
             Hex("1a 00 07 00 05 80 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00").toHex(' '));
    QTRY_VERIFY((owner.RunPosted(), owner.Codes().size() == 1));
    QCOMPARE(owner.Codes(), Codes{NC_MESSAGE});

    m_driver->SetReply(ListenReq, Msg(ListenConf, 0, 0, U16(0x2005)));
    QVERIFY(!m_link->ListenCAPIAppl());

    m_link->StopCAPIThread();
    m_link->ReleaseCAPIAppl();
}

void TestCapiLink::listenWithoutThreadIsBounded()
{
    RegisterLink();
    m_link->SetListenTimeout(100);
    // Nothing ever answers: false within the bound, no blocking fetch.
    QVERIFY(!m_link->ListenCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("Appl. queue is empty, retry later."));
    QCOMPARE(m_driver->GetCalls(), 0);

    m_driver->SetReply(ListenReq, Msg(ListenConf, 0, 0, U16(0)));
    QVERIFY(m_link->ListenCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("LISTEN_CONF OK."));

    m_driver->FailNextPuts({0x1101});
    QVERIFY(!m_link->ListenCAPIAppl());
    QCOMPARE(m_link->LogLine(), std::string("CAPI_PUT_MESSAGE failed, error 0x1101."));
}

void TestCapiLink::listenWithoutThreadFetchesAnotherMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("INFO_CONF: handled") << Msg(InfoConf, 0, 0, U16(0x2002)) << true << "INFO_CONF, Info = 0x2002";
    QTest::newRow("CONNECT_CONF NOK") << Msg(ConnectConf, 4, 0, U16(0x2003)) << false
                                      << "CONNECT_CONF NOK, Info = 0x2003";
    QTest::newRow("out of sequence") << Msg(0x8103, 0, 0, U16(0)) << true
                                     << "Out of sequence CAPI cmd retrieved, 0x8103.\n";
}

void TestCapiLink::listenWithoutThreadFetchesAnotherMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, result);
    QFETCH(QString, logLine);
    RegisterLink();
    m_link->SetListenTimeout(2000);
    m_driver->Queue(message); // ahead of any LISTEN_CONF
    QCOMPARE(m_link->ListenCAPIAppl(), result);
    QCOMPARE(QString::fromLatin1(m_link->LogLine().c_str()), logLine);
    QCOMPARE(m_driver->GetCalls(), 1);
}

void TestCapiLink::unregisteredLinkStartsNoThread()
{
    m_driver->SetRegisterResult(0x1009, 0);
    QVERIFY(!m_link->RegisterCAPIAppl());
    QVERIFY(!m_link->StartCAPIThread());
    QVERIFY(!m_link->IsThreadRunning());
    QCOMPARE(m_driver->WaitsInProgress(), 0);
    QCOMPARE(m_driver->GetCalls(), 0);
}

void TestCapiLink::stopWhileBlockedInDriver()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink(9);
    QVERIFY(m_link->StartCAPIThread());
    QVERIFY(m_driver->WaitUntilWaiting(2000));

    const auto start = std::chrono::steady_clock::now();
    QVERIFY(m_link->StopCAPIThread()); // never blocks
    QVERIFY(m_link->ReleaseCAPIAppl());
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(1));
    QCOMPARE(m_driver->WakeCalls(), 1);
    QCOMPARE(m_driver->Released(), std::vector<unsigned>{9});
    QVERIFY(!m_link->IsThreadRunning());
    QVERIFY(owner.Codes().empty());
}

void TestCapiLink::stopWhileNotificationPending()
{
    // The window is about to go and will never run the posted task while the
    // link lives.
    RecordingOwner owner(RecordingOwner::Mode::Queued);
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 31"), "\x81x"));
    QVERIFY(m_link->StartCAPIThread());
    QTRY_COMPARE(owner.Posted(), 1);

    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
    m_link.reset();
    // The stale task runs after the link is gone: it must do nothing.
    QVERIFY(owner.RunOne());
    QVERIFY(owner.Codes().empty());
}

void TestCapiLink::destroyedWithoutRelease()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    QVERIFY(m_link->StartCAPIThread());
    QVERIFY(m_driver->WaitUntilWaiting(2000));
    m_link.reset(); // joins a woken thread; no hang, no use after free
    QCOMPARE(m_driver->WakeCalls(), 1);
}

void TestCapiLink::shutdownIsBounded_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("release"); // else only the destructor
    using Mode = FakeCapiDriver::WakeMode;
    QTest::newRow("Wake does nothing, release") << int(Mode::Unwakeable) << true;
    QTest::newRow("Wake does nothing, destructor") << int(Mode::Unwakeable) << false;
    QTest::newRow("only release wakes, release") << int(Mode::OnlyRelease) << true;
    QTest::newRow("only release wakes, destructor") << int(Mode::OnlyRelease) << false;
    QTest::newRow("never returns, release") << int(Mode::Never) << true;
    QTest::newRow("never returns, destructor") << int(Mode::Never) << false;
}

void TestCapiLink::shutdownIsBounded()
{
    QFETCH(int, mode);
    QFETCH(bool, release);
    RecordingOwner owner(RecordingOwner::Mode::Queued);
    m_link->SetCAPIOwner(&owner);
    RegisterLink(9);
    m_driver->SetWakeMode(FakeCapiDriver::WakeMode(mode));
    QVERIFY(m_link->StartCAPIThread());
    QVERIFY(m_driver->WaitUntilWaiting(2000));

    const auto start = std::chrono::steady_clock::now();
    if (release) {
        QVERIFY(m_link->StopCAPIThread());
        QVERIFY(m_link->ReleaseCAPIAppl());
        QVERIFY(!m_link->IsThreadRunning());
        QCOMPARE(m_driver->Released(), std::vector<unsigned>{9});
    }
    m_link.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    // The fixed bound is well under 100 ms; the rest is slack for sanitizers.
    QVERIFY2(took < std::chrono::milliseconds(500),
             qPrintable(QString::number(std::chrono::duration<double, std::milli>(took).count()) + " ms"));

    // Whatever the thread meets later reaches nobody.
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 31"), "\x81x"));
    m_driver->Unstick();
    QTRY_COMPARE(m_driver->ThreadsInWait(), 0);
    QTest::qWait(50);
    owner.RunPosted();
    QVERIFY(owner.Codes().empty());
}

void TestCapiLink::wakeUpDescriptorWakesTheThread()
{
    // A pipe stands in for /dev/capi20: no shutdown() wakes a reader of it.
    int fds[2];
    QCOMPARE(pipe(fds), 0);
    const auto closeFds = qScopeGuard([&fds] {
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    });
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    m_driver->SetDescriptor(fds[0]);
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    QVERIFY(m_link->StartCAPIThread());

    // Idle: the thread sits on the descriptor, not in the driver.
    QTest::qWait(100);
    QCOMPARE(m_driver->GetCalls(), 0);
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 31"), "\x81x"));
    QCOMPARE(write(fds[1], "m", 1), ssize_t(1));
    QTRY_COMPARE(owner.Codes(), (Codes{NC_CALL_INFO, NC_MESSAGE}));
    QCOMPARE(m_driver->GetCalls(), 1);

    bool runningAtRelease = true;
    m_driver->SetReleaseHook([&] { runningAtRelease = m_link->IsThreadRunning(); });
    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
    QVERIFY2(!runningAtRelease, "the thread was still there when the link released");
    QCOMPARE(m_driver->SignalWaits(), 0);
    QCOMPARE(m_driver->WakeCalls(), 1);
    QVERIFY(!m_link->IsLinkDown());
}

void TestCapiLink::failingDriverDoesNotSpin()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_driver->SetBroken(true, 0x1108); // wait returns at once, fetch and register fail, for ever
    QVERIFY(m_link->StartCAPIThread());
    QTRY_VERIFY_WITH_TIMEOUT(m_link->IsLinkDown(), 5000);
    QVERIFY2(m_link->LogLine().rfind("CAPI link down: 3 fetches failed in a row, error 0x1108.", 0) == 0 ||
                 m_link->LogLine().rfind("RegisterCAPIAppl: CAPI_REGISTER failed", 0) == 0,
             m_link->LogLine().c_str());
    QCOMPARE(m_driver->GetCalls(), 3);
    QCOMPARE(m_driver->Released(), std::vector<unsigned>{7});

    // Down, it keeps trying to register, with growing pauses.
    QTest::qWait(1000);
    QVERIFY(m_link->IsThreadRunning());
    const size_t tries = m_driver->Registrations().size() - 1;
    QVERIFY2(tries >= 2 && tries <= 5, qPrintable(QString::number(tries)));
    QCOMPARE(m_link->LogLine(), std::string("RegisterCAPIAppl: CAPI_REGISTER failed, error 0x1009./n"));
    QCOMPARE(m_driver->GetCalls(), 3);
    // One NC_MESSAGE per failed pass, then the news that the link is down.
    QCOMPARE(owner.Codes(), (Codes{NC_MESSAGE, NC_MESSAGE, NC_MESSAGE, NC_LINK_STATE}));
    QVERIFY(owner.Notifications().back().linkDown);
    QVERIFY(m_link->ReleaseCAPIAppl());
}

void TestCapiLink::recoversAfterOutage_data()
{
    QTest::addColumn<bool>("listen");
    QTest::addColumn<unsigned>("fetchError");
    QTest::newRow("listening link, end of stream") << true << 0x1104u;
    QTest::newRow("listening link, fetch errors") << true << 0x1108u;
    QTest::newRow("sending link, end of stream") << false << 0x1104u;
}

void TestCapiLink::recoversAfterOutage()
{
    QFETCH(bool, listen);
    QFETCH(unsigned, fetchError);
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink(7);
    m_driver->SetReply(ListenReq, Msg(ListenConf, 0, 0, U16(0)));
    QVERIFY(m_link->StartCAPIThread());
    if (listen)
        QVERIFY(m_link->ListenCAPIAppl());

    m_driver->SetBroken(true, fetchError);
    QTRY_VERIFY_WITH_TIMEOUT(m_link->IsLinkDown(), 5000);
    QCOMPARE(m_driver->Released(), std::vector<unsigned>{7});
    // While down the old id is not used: it may be another application's.
    const size_t puts = m_driver->Puts().size();
    QVERIFY(!m_link->ConnectCAPICall("5", "x", 2));
    QCOMPARE(m_link->LogLine(), std::string("CAPI_PUT_MESSAGE failed, error 0x1101."));
    QCOMPARE(m_driver->Puts().size(), puts);

    m_driver->SetRegisterResult(0, 8);
    m_driver->SetBroken(false);
    QTRY_VERIFY_WITH_TIMEOUT(!m_link->IsLinkDown(), 10000);
    QCOMPARE(m_link->ApplId(), 8u);
    QVERIFY(Log().contains("RegisterCAPIAppl: ApplId = 8."));
    QVERIFY(Log().contains("CAPI link up again: ApplId = 8."));
    const auto after = m_driver->Puts();
    QCOMPARE(after.size(), puts + (listen ? 1 : 0));
    if (listen) {
        QCOMPARE(after.back().mid(2, 4).toHex(' '), Hex("08 00 05 80").toHex(' ')); // LISTEN_REQ, new id
        QVERIFY(Log().contains("LISTEN_CONF OK."));
    }
    auto linkStates = [&owner] {
        std::vector<unsigned> states;
        for (const auto& seen : owner.Notifications())
            if (seen.code == NC_LINK_STATE)
                states.push_back(seen.linkDown);
        return states;
    };
    QTRY_COMPARE(linkStates(), (std::vector<unsigned>{1, 0}));

    // Reception works again.
    m_driver->Queue(IncomingCall(5, 2, Hex("80 35"), Hex("81 31"), "\x81" "weer"));
    QTRY_VERIFY(([&owner] {
        const auto seen = owner.Notifications();
        return std::any_of(seen.begin(), seen.end(),
                           [](const auto& s) { return s.code == NC_CALL_INFO && s.callText == "weer"; });
    }()));
    QVERIFY(m_link->ConnectCAPICall("5", "x", 2));

    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
    QCOMPARE(m_driver->Released(), (std::vector<unsigned>{7, 8}));
}

void TestCapiLink::releaseDuringOutage()
{
    RecordingOwner owner(RecordingOwner::Mode::Queued);
    m_link->SetCAPIOwner(&owner);
    RegisterLink(7);
    m_driver->SetBroken(true);
    QVERIFY(m_link->StartCAPIThread());
    QTRY_VERIFY_WITH_TIMEOUT((owner.RunPosted(), m_link->IsLinkDown()), 5000);

    const auto start = std::chrono::steady_clock::now();
    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500));
    QVERIFY(!m_link->IsThreadRunning());
    QVERIFY(!m_link->IsLinkDown());
    // The id was given back once, by the thread: never twice.
    QCOMPARE(m_driver->Released(), std::vector<unsigned>{7});
    QCOMPARE(m_link->LogLine(), std::string("ReleaseCAPIAppl: ApplId =  7 released successfuly."));
}


// ---------------------------------------------------------------- bounded driver calls

void TestCapiLink::silentDriverCallFails_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<unsigned>("silent");
    // The status line, or for the version the output, which carries its
    // failure. zoemlijn-cli info against a silent server has all four queries.
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("releasedLate");
    using D = FakeCapiDriver;
    QTest::newRow("register") << int(Op::Register) << unsigned(D::SilentRegister)
                              << "RegisterCAPIAppl: CAPI_REGISTER failed, no answer within 150 ms." << true;
    QTest::newRow("release") << int(Op::Release) << unsigned(D::SilentRelease)
                             << "ReleaseCAPIAppl: CAPI_RELEASE failed, no answer within 150 ms." << true;
    QTest::newRow("version") << int(Op::Version) << unsigned(D::SilentQueries)
                             << "CAPI_GET_VERSION failed, no answer within 150 ms." << false;
    QTest::newRow("profile") << int(Op::Profile) << unsigned(D::SilentQueries)
                             << "GetCAPIProfile: CAPI_GET_PROFILE failed, no answer within 150 ms." << false;
}

void TestCapiLink::silentDriverCallFails()
{
    QFETCH(int, op);
    QFETCH(unsigned, silent);
    QFETCH(QString, line);
    QFETCH(bool, releasedLate);
    m_link->SetBounds({kBound, kBound, kBound, kBound});
    if (Op(op) == Op::Release)
        RegisterLink(7);
    m_driver->SetRegisterResult(0, 7);
    m_driver->SetSilent(silent);

    std::string output = "a", line2 = "b", line3 = "c";
    const auto start = std::chrono::steady_clock::now();
    bool result = true;
    switch (Op(op)) {
    case Op::Register: result = m_link->RegisterCAPIAppl(); break;
    case Op::Release: result = m_link->ReleaseCAPIAppl(); break;
    case Op::Version: result = m_link->GetCAPIVersion(output); break;
    case Op::Profile: result = m_link->GetCAPIProfile(output, line2, line3); break;
    default: QFAIL("no such row");
    }
    const auto took = std::chrono::steady_clock::now() - start;
    QVERIFY(!result);
    QVERIFY(took >= std::chrono::milliseconds(kBound));
    QVERIFY2(took < std::chrono::seconds(2),
             qPrintable(QString::number(std::chrono::duration<double, std::milli>(took).count()) + " ms"));
    QCOMPARE(QString::fromStdString(Op(op) == Op::Version ? output : m_link->LogLine()), line);
    if (Op(op) == Op::Profile)
        QCOMPARE(output + line2 + line3, std::string("abc"));

    // Left behind in the driver, on a thread of its own.
    QCOMPARE(m_driver->SilentCallsWaiting(), 1);
    QCOMPARE(CDriverCall::Running(), 1);
    // The answer comes after all, too late to count: a registration made
    // then is given back, and the link holds nothing.
    m_driver->Unstick();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    QCOMPARE(m_driver->Released(), releasedLate ? std::vector<unsigned>{7} : std::vector<unsigned>{});
    if (Op(op) == Op::Register) {
        QVERIFY(!m_link->IsRegistered());
        QCOMPARE(m_link->ApplId(), 0u);
        QCOMPARE(m_link->LogLine(), line.toStdString());
    }
}

void TestCapiLink::stuckQueryFailsTheNextAtOnce()
{
    m_link->SetBounds({kBound, kBound, kBound, kBound});
    m_driver->SetSilent(FakeCapiDriver::SilentQueries);
    std::string serial, version;
    QVERIFY(!m_link->GetCAPISerialNumber(serial));
    // The driver has not answered the last query: the next one is not put
    // behind it on the same connection, and fails without a thread.
    QVERIFY(!m_link->GetCAPIVersion(version));
    QCOMPARE(version, std::string("CAPI_GET_VERSION failed, no answer within 150 ms."));
    QCOMPARE(m_driver->SilentCallsWaiting(), 1);
    QCOMPARE(CDriverCall::Running(), 1);

    m_driver->Unstick();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    QCOMPARE(m_driver->Queries(), 1);
    QVERIFY(m_link->GetCAPIVersion(version));
    QCOMPARE(version, std::string("CAPI ver 2.0, Manufacturer number 1.a."));
}

void TestCapiLink::listenInHalves()
{
    RecordingOwner owner;
    m_link->SetCAPIOwner(&owner);
    RegisterLink();
    m_link->SetListenTimeout(kBound);
    QVERIFY(m_link->StartCAPIThread());
    QVERIFY(m_driver->WaitUntilWaiting(2000));

    // The request goes out at once; the receive thread's LISTEN_CONF answers.
    auto call = m_link->BeginListen();
    QCOMPARE(m_driver->Puts().size(), size_t(1));
    QVERIFY(!call->WaitFor(20));
    m_driver->Queue(Msg(ListenConf, 0, 0, U16(0)));
    QVERIFY(call->WaitFor(2000));
    QVERIFY(m_link->EndListen(*call));
    QCOMPARE(m_link->LogLine(), std::string("LISTEN_CONF OK."));

    // Never confirmed: false once the bound has passed.
    call = m_link->BeginListen();
    const auto start = std::chrono::steady_clock::now();
    QVERIFY(!m_link->EndListen(*call));
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(2));
    QCOMPARE(m_link->LogLine(), std::string("Appl. queue is empty, retry later."));
    // A confirmation after that finds nobody waiting.
    m_driver->Queue(Msg(ListenConf, 0, 0, U16(0)));
    QTRY_COMPARE(m_link->LogLine(), std::string("LISTEN_CONF OK."));

    QVERIFY(m_link->StopCAPIThread());
    QVERIFY(m_link->ReleaseCAPIAppl());
}

void TestCapiLink::unregisteredLinkCallsNoDriver_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("line");
    QTest::newRow("listen") << int(Op::Listen) << "CAPI_PUT_MESSAGE failed, error 0x1101.";
    QTest::newRow("connect") << int(Op::Connect) << "CAPI_PUT_MESSAGE failed, error 0x1101.";
    QTest::newRow("release") << int(Op::Release) << "ReleaseCAPIAppl: CAPI_RELEASE failed, error 0x1101.";
}

void TestCapiLink::unregisteredLinkCallsNoDriver()
{
    QFETCH(int, op);
    QFETCH(QString, line);
    m_driver->SetRegisterResult(0x1008, 0);
    QVERIFY(!m_link->RegisterCAPIAppl());
    m_link->SetListenTimeout(kBound);

    bool result = true;
    switch (Op(op)) {
    case Op::Listen: result = m_link->ListenCAPIAppl(); break;
    case Op::Connect: result = m_link->ConnectCAPICall("12345", "hoi", 2); break;
    case Op::Release: result = m_link->ReleaseCAPIAppl(); break;
    default: QFAIL("no such row");
    }
    QVERIFY(!result);
    QCOMPARE(QString::fromStdString(m_link->LogLine()), line);
    // Application id 0 is nobody's: the driver hears nothing of it.
    QVERIFY(m_driver->Puts().empty());
    QVERIFY(m_driver->Released().empty());
    QCOMPARE(m_driver->SignalWaits(), 0);
    QCOMPARE(m_driver->GetCalls(), 0);
}
QTEST_GUILESS_MAIN(TestCapiLink)
#include "TestCapiLink.moc"
