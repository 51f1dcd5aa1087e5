// CCapiLink against the real libcapi20 in remote ("rcapi") mode, served by a
// small responder on 127.0.0.1: registration, a text call read from the
// CONNECT_IND and rejected, identity queries, shutdown, and a connection
// that the server drops under a waiting receive thread.
#include "CapiDefs.h"
#include "CapiDriver.h"
#include "CapiLink.h"
#include "RemoteCapiResponder.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <vector>

using namespace capi;

namespace {

// A message from hex with its length octets (written as 0000) filled in.
QByteArray Message(const char* hex)
{
    QByteArray m = QByteArray::fromHex(hex);
    m[0] = char(m.size() & 0xff);
    m[1] = char(m.size() >> 8);
    return m;
}

uint16_t U16(const QByteArray& m, int offset)
{
    return GetU16(reinterpret_cast<const uint8_t*>(m.constData()) + offset);
}
uint32_t U32(const QByteArray& m, int offset)
{
    return GetU32(reinterpret_cast<const uint8_t*>(m.constData()) + offset);
}

QString Joined(const std::vector<std::string>& lines)
{
    QStringList list;
    for (const std::string& line : lines)
        list << QString::fromStdString(line);
    return list.join(QStringLiteral("; "));
}

QString CodeName(unsigned code)
{
    switch (code) {
    case NC_MESSAGE:
        return QStringLiteral("NC_MESSAGE");
    case NC_CALL_INFO:
        return QStringLiteral("NC_CALL_INFO");
    case NC_CALL_CLEARED:
        return QStringLiteral("NC_CALL_CLEARED");
    case NC_LINK_STATE:
        return QStringLiteral("NC_LINK_STATE");
    default:
        return QString::number(code, 16);
    }
}

// The window the link notifies. Tasks from the receive thread run on the test
// thread's event loop, which the QTRY_ macros keep turning.
class RecordingOwner final : public QObject, public ICapiOwner
{
public:
    // What the owner could read from the link while handling a notification.
    struct Seen
    {
        unsigned code = 0;
        std::string calling, called, text, type;
    };

    void OnCapiNotify(CCapiLink& link, unsigned code) override
    {
        m_seen.push_back({code, link.CallingNumber(), link.CalledNumber(), link.CallText(), link.CallType()});
    }
    void PostToOwner(std::function<void()> task) override
    {
        QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
    }

    QStringList Codes() const
    {
        QStringList codes;
        for (const Seen& s : m_seen)
            codes << CodeName(s.code);
        return codes;
    }
    const std::vector<Seen>& Seens() const { return m_seen; }
    void Clear() { m_seen.clear(); }

private:
    std::vector<Seen> m_seen; // test thread only
};

// Called party number "555", calling party number "12345" behind a type and a
// presentation octet, no called subaddress, and the text as calling party
// subaddress after its type octet: "caf", E9, " ", B0, FF.
constexpr const char* kConnectInd = "0000 0100 0282 0500 01420000"
                                    "1000"
                                    "04 80 353535"
                                    "07 01 80 3132333435"
                                    "00"
                                    "08 80 636166 e9 20 b0 ff"
                                    "00 00 00 00";
constexpr const char* kCallText = "636166e920b0ff";
constexpr uint32_t kCallAddress = 0x4201; // controller 1, PLCI 0x42
constexpr const char* kDisconnectInd = "0000 0100 0482 0600 01420000 9034";

constexpr int kWaitMs = 5000;

} // namespace

class TestCapiRemote : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void textCallIsReadAndRejected();
    void connectionDroppedIsRecovered();

private:
    QTemporaryDir m_home;
    RemoteCapiResponder m_responder;
};

void TestCapiRemote::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY2(m_responder.Start(), m_responder.Error().c_str());
    uint32_t version[4] = {2, 0, 0x11, 0x22};
    // controllers 1, B channels 2, global options, B1, B2, B3 protocol bits
    const QByteArray profile = QByteArray::fromHex("0100 0200 11000000 03010000 03020000 01030000");
    m_responder.SetIdentity("Lab Responder", "1234567", version, profile);

    // libcapi20 reads $HOME/.capi20rc when it connects; the last character of
    // each line is cut as if it were the newline, so the newline must be there.
    QFile rc(m_home.filePath(QStringLiteral(".capi20rc")));
    QVERIFY(rc.open(QIODevice::WriteOnly));
    rc.write(QStringLiteral("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(m_responder.Port()).toLatin1());
    rc.close();
    qputenv("HOME", QFile::encodeName(m_home.path()));

    std::string error;
    QVERIFY2(CapiBinding::Load(&error), error.c_str());
}

void TestCapiRemote::init()
{
    m_responder.ClearRecords();
    m_responder.SetListenInfo(InfoOk);
}

void TestCapiRemote::cleanupTestCase()
{
    m_responder.Stop();
}

void TestCapiRemote::textCallIsReadAndRejected()
{
    RecordingOwner owner;
    CCapiLink link;
    // Should a check fail with the thread still inside libcapi20, dropping the
    // connection lets the link's destructor join it.
    const auto unblock = qScopeGuard([this] { m_responder.CloseApplication(); });
    link.SetCAPIOwner(&owner);

    // Registration opens a connection of its own; the library passes on what
    // the link asked for (message buffer size is always 2048 in libcapi20).
    const int registrations = m_responder.Registrations();
    QVERIFY2(link.RegisterCAPIAppl(), link.LogLine().c_str());
    QCOMPARE(m_responder.Registrations(), registrations + 1);
    const RemoteCapiResponder::Registration reg = m_responder.LastRegistration();
    QCOMPARE(reg.frameLength, 23);
    QCOMPARE(reg.messageBufferSize, uint16_t(2048));
    QCOMPARE(reg.maxLogicalConnection, uint16_t(2));
    QCOMPARE(reg.maxBDataBlocks, uint16_t(16));
    QCOMPARE(reg.maxBDataLen, uint16_t(128));
    // Ids are machine-wide: only "some id" can be expected.
    const unsigned applId = link.ApplId();
    QVERIFY(applId != 0);
    // Each request goes out at once, not after the previous one's ACK.
    const int fd = CapiBinding::Driver().WaitDescriptor(applId);
    QVERIFY(fd >= 0);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    QCOMPARE(noDelay, 1);

    QVERIFY(link.StartCAPIThread());
    QVERIFY2(link.ListenCAPIAppl(), link.LogLine().c_str());
    const QByteArray listen = m_responder.TakeMessage(ListenReq, kWaitMs);
    QCOMPARE(listen.size(), 26);
    QCOMPARE(U16(listen, 2), uint16_t(applId));
    QCOMPARE(U32(listen, 8), 1u);
    // The LISTEN_CONF was fetched by the receive thread.
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes(), QStringList{"NC_MESSAGE"}, kWaitMs);
    owner.Clear();

    QVERIFY(m_responder.SendToApplication(Message(kConnectInd)));
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes(), (QStringList{"NC_CALL_INFO", "NC_MESSAGE"}), kWaitMs);
    // The owner reads the call while it handles the notification.
    const RecordingOwner::Seen& seen = owner.Seens().front();
    QCOMPARE(seen.calling, std::string("12345"));
    QCOMPARE(seen.called, std::string("555"));
    QCOMPARE(QByteArray::fromStdString(seen.text), QByteArray::fromHex(kCallText));
    QCOMPARE(seen.type, std::string("ISDN-Telefonie"));
    QCOMPARE(QByteArray::fromStdString(link.CallText()), QByteArray::fromHex(kCallText));
    QCOMPARE(link.Plci(), uint8_t(0x42));

    // Rejected with "facility rejected" on the indication's PLCI, five empty
    // structures after the Reject word.
    const QByteArray resp = m_responder.TakeMessage(ConnectResp, kWaitMs);
    QCOMPARE(resp.size(), 19);
    QCOMPARE(U16(resp, 2), uint16_t(applId));
    QCOMPARE(U16(resp, 4), uint16_t(ConnectResp));
    QCOMPARE(U32(resp, 8), kCallAddress);
    QCOMPARE(U16(resp, 12), uint16_t(5));
    QCOMPARE(resp.mid(14), QByteArray(5, '\0'));

    owner.Clear();
    QVERIFY(m_responder.SendToApplication(Message(kDisconnectInd)));
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes(), (QStringList{"NC_CALL_CLEARED", "NC_MESSAGE"}), kWaitMs);
    const QByteArray disconnectResp = m_responder.TakeMessage(DisconnectResp, kWaitMs);
    QCOMPARE(disconnectResp.size(), 12);
    QCOMPARE(U32(disconnectResp, 8), kCallAddress);
    QCOMPARE(link.Plci(), uint8_t(0));

    // Identity goes over the management connection while the receive thread
    // sits in libcapi20 on the application's.
    std::string manufacturer, serial, version, line1, line2, line3;
    QVERIFY(link.GetCAPIManufacturer(manufacturer));
    QCOMPARE(manufacturer, std::string("Lab Responder"));
    QVERIFY(link.GetCAPISerialNumber(serial));
    QCOMPARE(serial, std::string("CAPI serienummer is: 1234567"));
    QVERIFY(link.GetCAPIVersion(version));
    QCOMPARE(version, std::string("CAPI ver 2.0, Manufacturer number 11.22."));
    QVERIFY2(link.GetCAPIProfile(line1, line2, line3), link.LogLine().c_str());
    QCOMPARE(line1, std::string("Aantal controllers: 1 ; B1 Proto: 0x0103"));
    QCOMPARE(line2, std::string("Aantal B-kanalen: 2 ; B2 Proto: 0x0203"));
    QCOMPARE(line3, std::string("Algemene opties: 0x0011 ; B3 Proto: 0x0301"));
    for (const auto& request : m_responder.ControlRequests())
        QCOMPARE(request.controller, 1u);
    QCOMPARE(m_responder.ControlRequests().size(), size_t(4));

    // Stopping must wake the thread out of libcapi20 by itself: release
    // would not, and would free the buffers it reads.
    QVERIFY(link.StopCAPIThread());
    QTRY_VERIFY_WITH_TIMEOUT(!link.IsThreadRunning(), kWaitMs);
    QVERIFY2(link.ReleaseCAPIAppl(), link.LogLine().c_str());
    QVERIFY(m_responder.WaitForApplicationEof(kWaitMs));
    QVERIFY(!link.IsLinkDown());
    QCOMPARE(owner.Codes(), (QStringList{"NC_CALL_CLEARED", "NC_MESSAGE"}));
    QCOMPARE(m_responder.Messages().size(), size_t(0));
    QCOMPARE(Joined(m_responder.Violations()), QString());
}

void TestCapiRemote::connectionDroppedIsRecovered()
{
    RecordingOwner owner;
    CCapiLink link;
    // Should a check fail with the thread still inside libcapi20, dropping the
    // connection lets the link's destructor join it.
    const auto unblock = qScopeGuard([this] { m_responder.CloseApplication(); });
    link.SetCAPIOwner(&owner);
    QVERIFY2(link.RegisterCAPIAppl(), link.LogLine().c_str());
    QVERIFY(link.StartCAPIThread());
    QVERIFY2(link.ListenCAPIAppl(), link.LogLine().c_str());
    QVERIFY(!m_responder.TakeMessage(ListenReq, kWaitMs).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes(), QStringList{"NC_MESSAGE"}, kWaitMs);
    owner.Clear();
    const int registrations = m_responder.Registrations();

    // libcapi20's wait now returns at once and its fetch fails at once: the
    // link must see the end, not spin, and come back by itself.
    m_responder.CloseApplication();
    QTRY_VERIFY_WITH_TIMEOUT(owner.Codes().contains("NC_LINK_STATE"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_responder.Registrations(), registrations + 1, kWaitMs);
    const QByteArray listen = m_responder.TakeMessage(ListenReq, kWaitMs);
    QCOMPARE(listen.size(), 26);
    QTRY_VERIFY_WITH_TIMEOUT(!link.IsLinkDown(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes().count("NC_LINK_STATE"), 2, kWaitMs);
    QVERIFY(link.IsThreadRunning());
    QCOMPARE(U16(listen, 2), uint16_t(link.ApplId()));

    owner.Clear();
    QVERIFY(m_responder.SendToApplication(Message(kConnectInd)));
    QTRY_COMPARE_WITH_TIMEOUT(owner.Codes(), (QStringList{"NC_CALL_INFO", "NC_MESSAGE"}), kWaitMs);
    QCOMPARE(owner.Seens().front().calling, std::string("12345"));
    QVERIFY(!m_responder.TakeMessage(ConnectResp, kWaitMs).isEmpty());

    QVERIFY(link.StopCAPIThread());
    QVERIFY2(link.ReleaseCAPIAppl(), link.LogLine().c_str());
    QVERIFY(!link.IsThreadRunning());
    QVERIFY(m_responder.WaitForApplicationEof(kWaitMs));
    QCOMPARE(Joined(m_responder.Violations()), QString());
}

QTEST_GUILESS_MAIN(TestCapiRemote)
#include "TestCapiRemote.moc"
