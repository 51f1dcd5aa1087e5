// The stock libcapi20 in remote mode against a running isdn-exchange: the
// text call of two Zoemlijn copies, from register to both DISCONNECT_INDs.
#include "CapiDefs.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <capi20.h>
#include <sys/time.h>

#include <csignal>

using namespace capi;

namespace {
const QByteArray kA = "0301111111";
const QByteArray kB = "0302222222";
constexpr int kWaitMs = 200;
constexpr int kTries = 25; // 5 s in all
} // namespace

class TestLibcapi : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    QProcess m_exchange;
    QHash<QByteArray, quint16> m_ports;

    void WriteConfig(quint16 port)
    {
        QFile rc(m_home.filePath(QStringLiteral(".capi20rc")));
        QVERIFY(rc.open(QIODevice::WriteOnly | QIODevice::Truncate));
        rc.write("REMOTE rcapi 127.0.0.1 " + QByteArray::number(port) + "\nTRACELEVEL 0\n");
    }

    // The next message for `appl`; empty when none came in time.
    static QByteArray Get(unsigned appl)
    {
        for (int i = 0; i < kTries; ++i) {
            timeval tv{0, kWaitMs * 1000};
            if (capi20_waitformessage(appl, &tv) != 0)
                continue;
            unsigned char* msg = nullptr;
            if (capi20_get_message(appl, &msg) != 0 || !msg)
                return {};
            return QByteArray(reinterpret_cast<const char*>(msg), GetU16(msg));
        }
        return {};
    }
    static uint16_t CodeOf(const QByteArray& m) { return m.size() >= 12 ? GetU16(Ptr(m) + 4) : 0; }
    static uint16_t ValueOf(const QByteArray& m) { return m.size() >= 14 ? GetU16(Ptr(m) + 12) : 0xffff; }
    static uint32_t AddressOf(const QByteArray& m) { return m.size() >= 12 ? GetU32(Ptr(m) + 8) : 0; }
    static const uint8_t* Ptr(const QByteArray& m) { return reinterpret_cast<const uint8_t*>(m.constData()); }

    static unsigned Put(unsigned appl, uint16_t code, uint32_t address, const QByteArray& params)
    {
        QByteArray m(kHeaderSize, '\0');
        Header h;
        h.length = static_cast<uint16_t>(kHeaderSize + params.size());
        h.applId = static_cast<uint16_t>(appl);
        h.command = CommandOf(code);
        h.subcommand = SubcommandOf(code);
        h.address = address;
        PutHeader(reinterpret_cast<uint8_t*>(m.data()), h);
        m += params;
        return capi20_put_message(appl, reinterpret_cast<unsigned char*>(m.data()));
    }

private slots:
    void initTestCase()
    {
        std::signal(SIGPIPE, SIG_IGN);
        QVERIFY(m_home.isValid());
        // libcapi20 reads HOME once per connect; set before the first call.
        qputenv("HOME", QFile::encodeName(m_home.path()));
        m_exchange.setReadChannel(QProcess::StandardOutput);
        m_exchange.start(QStringLiteral(ZL_EXCHANGE_BIN),
                         {QStringLiteral("--line"), QString::fromLatin1(kA + "=0"), QStringLiteral("--line"),
                          QString::fromLatin1(kB + "=0")});
        QVERIFY(m_exchange.waitForStarted());
        static const QRegularExpression kListening(QStringLiteral("^listening (\\d+) [^:]+:(\\d+)"));
        while (m_ports.size() < 2 && m_exchange.waitForReadyRead(5000)) {
            while (m_exchange.canReadLine()) {
                const auto match = kListening.match(QString::fromLatin1(m_exchange.readLine()));
                if (match.hasMatch())
                    m_ports[match.captured(1).toLatin1()] = static_cast<quint16>(match.captured(2).toUInt());
            }
        }
        QCOMPARE(m_ports.size(), 2);
    }

    void cleanupTestCase()
    {
        m_exchange.terminate();
        m_exchange.waitForFinished(5000);
    }

    void textCallThroughLibcapi()
    {
        // libcapi20 reads its config when it connects: the sender and a
        // helper on line A; releasing the helper makes the next register
        // read the config again, now naming line B.
        WriteConfig(m_ports[kA]);
        unsigned sender = 0, helper = 0, receiver = 0;
        QCOMPARE(capi20_isinstalled(), 0u);
        QCOMPARE(capi20_register(2, 7, 128, &sender), 0u);
        QCOMPARE(capi20_register(1, 1, 128, &helper), 0u);
        WriteConfig(m_ports[kB]);
        QCOMPARE(capi20_release(helper), 0u);
        QCOMPARE(capi20_register(2, 7, 128, &receiver), 0u);
        QVERIFY(sender != receiver);

        unsigned char manufacturer[64] = {};
        QVERIFY(capi20_get_manufacturer(1, manufacturer));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(manufacturer)), QByteArray("isdn-exchange"));

        // LISTEN_REQ: every service
        QCOMPARE(Put(receiver, ListenReq, 1, QByteArray::fromHex("00000000 01000000 00000000 00 00")), 0u);
        QByteArray m = Get(receiver);
        QCOMPARE(CodeOf(m), uint16_t(ListenConf));
        QCOMPARE(ValueOf(m), InfoOk);

        const QByteArray text("Dag \xe9\xff!", 7);
        const QByteArray params = QByteArray::fromHex("0200") + char(kB.size() + 1) + '\x81' + kB + '\0' + '\0' +
                                  char(text.size() + 1) + '\x81' + text + QByteArray(5, '\0');
        QCOMPARE(Put(sender, ConnectReq, 1, params), 0u);
        m = Get(sender);
        QCOMPARE(CodeOf(m), uint16_t(ConnectConf));
        QCOMPARE(ValueOf(m), InfoOk);
        const uint32_t senderPlci = AddressOf(m);

        m = Get(receiver);
        QCOMPARE(CodeOf(m), uint16_t(ConnectInd));
        QCOMPARE(GetU16(Ptr(m) + 2), uint16_t(receiver)); // libcapi20 puts its own id there
        QVERIFY2(m.contains(char(text.size() + 1) + QByteArray("\x81") + text), m.toHex(' ').constData());
        QVERIFY(m.contains("\x01\x80" + kA));
        const uint32_t receiverPlci = AddressOf(m);

        QCOMPARE(Put(receiver, ConnectResp, receiverPlci, QByteArray::fromHex("0500 00 00 00 00 00")), 0u);
        m = Get(sender);
        QCOMPARE(CodeOf(m), uint16_t(DisconnectInd));
        QCOMPARE(ValueOf(m), ReasonFacilityRejected);
        QCOMPARE(Put(sender, DisconnectResp, senderPlci, {}), 0u);
        m = Get(receiver);
        QCOMPARE(CodeOf(m), uint16_t(DisconnectInd));
        QCOMPARE(ValueOf(m), ReasonNoCause);
        QCOMPARE(Put(receiver, DisconnectResp, receiverPlci, {}), 0u);

        QCOMPARE(capi20_release(sender), 0u);
        QCOMPARE(capi20_release(receiver), 0u);
    }
};

QTEST_GUILESS_MAIN(TestLibcapi)
#include "TestLibcapi.moc"
