// What keeps crowded and hostile clients from taking the exchange over:
// connection limits, registrations and calls per address, the time to speak,
// accept errors, and who is let in at all.
#include "ExchangeServer.h"
#include "RawClient.h"

#include <QNetworkInterface>
#include <QTest>

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

using namespace testing;
using namespace capi;

namespace {
const QString kA = QStringLiteral("0301111111");
const QString kB = QStringLiteral("0302222222");
const QString kOther = QStringLiteral("127.0.0.2"); // another client, still loopback

// A management request answered: the connection was taken.
bool Served(RawClient& c)
{
    c.Send(Hex("00000000faff000001000000"));
    return c.Next(1000).bytes.startsWith(Hex("00000000fbff"));
}
} // namespace

class TestLimits : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<exchange::ExchangeServer> m_server;

    void Start(exchange::ServerOptions options, const QString& address = QStringLiteral("127.0.0.1"))
    {
        options.address = QHostAddress(address);
        options.log = [](const std::string&) {};
        m_server = std::make_unique<exchange::ExchangeServer>(options);
        QString error;
        QVERIFY2(m_server->AddLine(kA, 0, &error) && m_server->AddLine(kB, 0, &error), qPrintable(error));
    }
    // Connects and waits until the exchange has taken or refused it, so
    // that connections are counted in the order they were made.
    std::unique_ptr<RawClient> Connect(const QString& number, const QString& from = {})
    {
        const size_t before = m_server->Connections() + m_server->Refused();
        auto c = std::make_unique<RawClient>(m_server->Port(number), from);
        if (!QTest::qWaitFor([&] { return m_server->Connections() + m_server->Refused() > before; }, 2000))
            qWarning("connection neither taken nor refused");
        return c;
    }
    // Calls a number nobody has and never answers the clearing, so the
    // call keeps its PLCI; the CONNECT_CONF's Info.
    static uint16_t HoldCall(RawClient& c)
    {
        c.Send(ConnectReqMsg("0300000000", "vast"));
        const Frame conf = c.Expect(ConnectConf);
        if (conf.Value() == InfoOk)
            c.Expect(DisconnectInd);
        return conf.Value();
    }

private slots:
    void cleanup() { m_server.reset(); }

    void connectionLimits_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("perLine");
        QTest::addColumn<int>("onA"); // connections made on line A, then on line B
        QTest::addColumn<int>("onB");
        QTest::addColumn<int>("takenA");
        QTest::addColumn<int>("takenB");
        QTest::newRow("within both limits") << 10 << 10 << 3 << 3 << 3 << 3;
        QTest::newRow("total limit, across lines") << 3 << 64 << 2 << 2 << 2 << 1;
        QTest::newRow("line limit, the other line still free") << 100 << 2 << 3 << 2 << 2 << 2;
        QTest::newRow("both at once") << 3 << 2 << 3 << 3 << 2 << 1;
    }
    void connectionLimits()
    {
        QFETCH(int, total);
        QFETCH(int, perLine);
        QFETCH(int, onA);
        QFETCH(int, onB);
        QFETCH(int, takenA);
        QFETCH(int, takenB);
        exchange::ServerOptions options;
        options.maxConnections = total;
        options.lineConnections = perLine;
        Start(options);
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < onA + onB; ++i)
            clients.push_back(Connect(i < onA ? kA : kB));
        QCOMPARE(int(m_server->Refused()), onA + onB - takenA - takenB);
        // The first ones on each line are served; the refused ones are closed unanswered.
        for (int i = 0; i < onA + onB; ++i) {
            const bool taken = i < onA ? i < takenA : i - onA < takenB;
            QVERIFY2(taken ? Served(*clients[i]) : clients[i]->Closed(), qPrintable(QString::number(i)));
        }
        // A place that comes free is taken again.
        clients.front()->Close();
        QTRY_COMPARE(int(m_server->Connections()), takenA + takenB - 1);
        QVERIFY(Served(*Connect(kA)));
    }

    void registrationsPerAddress_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
    }
    void registrationsPerAddress()
    {
        QFETCH(int, limit);
        exchange::ServerOptions options;
        options.limits.clientRegistrations = limit;
        Start(options);
        std::vector<std::unique_ptr<RawClient>> apps;
        for (int i = 0; i < limit; ++i) {
            apps.push_back(Connect(kA));
            QVERIFY(apps.back()->Register());
        }
        auto extra = Connect(kA);
        QCOMPARE(extra->RegisterInfo(), uint16_t(ErrRegTooManyApplications));
        // Another address, or another line, has a count of its own.
        auto other = Connect(kA, kOther);
        auto otherLine = Connect(kB);
        QVERIFY(other->Register() && otherLine->Register());
        // One registration gone, one more may come.
        apps.front()->Close();
        QTRY_COMPARE(int(m_server->Core().Stats().clients), limit + 2);
        QVERIFY(Connect(kA)->Register());
    }

    // One address's applications together hold at most its bound of PLCIs
    // on a line, however they register; another address still gets through.
    void fairSharing_data()
    {
        QTest::addColumn<int>("bound");
        QTest::addColumn<int>("registrations");
        QTest::newRow("bound 1, two registrations") << 1 << 2;
        QTest::newRow("bound 4, three registrations") << 4 << 3;
        QTest::newRow("bound 5, one registration") << 5 << 1;
    }
    void fairSharing()
    {
        QFETCH(int, bound);
        QFETCH(int, registrations);
        exchange::ServerOptions options;
        options.limits.clientCalls = uint16_t(bound);
        Start(options);
        std::vector<std::unique_ptr<RawClient>> hog;
        for (int i = 0; i < registrations; ++i) {
            hog.push_back(Connect(kA));
            QVERIFY(hog.back()->Register(128, 30));
        }
        // Round the registrations, each far below its own 30.
        for (int call = 0; call < bound; ++call)
            QCOMPARE(HoldCall(*hog[call % registrations]), InfoOk);
        for (auto& app : hog)
            QCOMPARE(HoldCall(*app), uint16_t(ErrOutOfPlci));

        // Nor is an incoming call offered to it: its line is busy for it.
        QVERIFY(hog.front()->Listen(0x1));
        auto caller = Connect(kB);
        QVERIFY(caller->Register());
        caller->Send(ConnectReqMsg(kA.toLatin1(), "bezet?"));
        caller->Expect(ConnectConf);
        QCOMPARE(caller->Expect(DisconnectInd).Value(), uint16_t(ReasonUserBusy));

        auto neighbour = Connect(kA, kOther);
        QVERIFY(neighbour->Register(128, 30));
        for (int call = 0; call < bound; ++call)
            QCOMPARE(HoldCall(*neighbour), InfoOk);
        QVERIFY(hog.front()->Quiet());
    }

    // A connection must register or ask a management request in time;
    // libcapi20's silent management connection is kept for its registration.
    void registerTimeout_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("stays");
        QTest::newRow("never speaks") << "silent" << false;
        QTest::newRow("management request") << "manufacturer" << true;
        QTest::newRow("registers") << "register" << true;
        QTest::newRow("silent, then its registration") << "silent+register" << true;
        QTest::newRow("silent, a registration from elsewhere") << "silent+other" << false;
        QTest::newRow("silent, its registration released") << "silent+release" << false;
    }
    void registerTimeout()
    {
        QFETCH(QString, what);
        QFETCH(bool, stays);
        constexpr int kTimeoutMs = 300;
        exchange::ServerOptions options;
        options.registerTimeoutMs = kTimeoutMs;
        Start(options);
        auto first = Connect(kA);
        std::unique_ptr<RawClient> second;
        if (what == QLatin1String("manufacturer"))
            QVERIFY(Served(*first));
        else if (what == QLatin1String("register"))
            QVERIFY(first->Register());
        if (what.startsWith(QLatin1String("silent+"))) {
            second = Connect(kA, what == QLatin1String("silent+other") ? kOther : QString());
            QVERIFY(second->Register());
            if (what == QLatin1String("silent+release")) { // after the first's own time ran out
                QTest::qWait(2 * kTimeoutMs);
                second->Close();
            }
        }
        if (stays) {
            QTest::qWait(3 * kTimeoutMs);
            QVERIFY(Served(*first));
        } else {
            QVERIFY(first->Closed(10 * kTimeoutMs));
        }
    }

    // Out of descriptors, accept fails while the connection waits: the
    // exchange tries again after a pause instead of at once, and serves
    // whom it has meanwhile.
    void acceptErrorsBackOff_data()
    {
        QTest::addColumn<int>("error");
        QTest::newRow("EMFILE") << EMFILE;
        QTest::newRow("ENOBUFS") << ENOBUFS;
    }
    void acceptErrorsBackOff()
    {
        QFETCH(int, error);
        auto failing = std::make_shared<std::atomic<bool>>(false);
        auto attempts = std::make_shared<std::atomic<int>>(0);
        exchange::ServerOptions options;
        options.accept = [=](int fd) {
            if (!*failing)
                return accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            ++*attempts;
            errno = error;
            return -1;
        };
        Start(options);
        auto registered = Connect(kA);
        QVERIFY(registered->Register());
        *failing = true;
        RawClient waiting(m_server->Port(kA));
        QTest::qWait(600);
        // A spinning loop makes thousands of attempts in that time.
        QVERIFY2(*attempts >= 2 && *attempts <= 15, qPrintable(QString::number(*attempts)));
        QVERIFY(registered->Listen(0x1));
        *failing = false;
        QVERIFY(Served(waiting));
    }

    // Loopback is trusted: its peers are let in and listening on it needs no
    // warning. Beyond it --allow decides, and listening there is warned of.
    void allowed_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("allow"); // ADDRESS/PREFIX, or empty
        QTest::addColumn<bool>("allowed");
        QTest::newRow("loopback") << "127.0.0.1" << "" << true;
        QTest::newRow("IPv6 loopback") << "::1" << "" << true;
        QTest::newRow("mapped IPv4 loopback") << "::ffff:127.0.0.1" << "" << true;
        QTest::newRow("stranger") << "192.0.2.7" << "" << false;
        QTest::newRow("any address") << "0.0.0.0" << "" << false;
        QTest::newRow("stranger, another subnet allowed") << "192.0.2.7" << "198.51.100.0/24" << false;
        QTest::newRow("in the allowed subnet") << "192.0.2.7" << "192.0.2.0/24" << true;
        QTest::newRow("mapped, in the allowed subnet") << "::ffff:192.0.2.7" << "192.0.2.0/24" << true;
        QTest::newRow("next to the allowed host") << "192.0.2.8" << "192.0.2.7/32" << false;
        QTest::newRow("IPv6 subnet") << "2001:db8::5" << "2001:db8::/32" << true;
    }
    void allowed()
    {
        QFETCH(QString, peer);
        QFETCH(QString, allow);
        QFETCH(bool, allowed);
        exchange::ServerOptions options;
        if (!allow.isEmpty())
            options.allow << QHostAddress::parseSubnet(allow);
        QCOMPARE(exchange::ExchangeServer(options).Allowed(QHostAddress(peer)), allowed);
        if (allow.isEmpty()) {
            const QString warning = exchange::ExposureWarning(QHostAddress(peer));
            QCOMPARE(warning.isEmpty(), allowed);
            QVERIFY2(allowed || warning.contains(QStringLiteral("reads its texts")), qPrintable(warning));
        }
    }

    // A stranger is closed before a frame of it is read.
    void strangerRefused_data()
    {
        QTest::addColumn<bool>("allow");
        QTest::newRow("not allowed") << false;
        QTest::newRow("allowed") << true;
    }
    void strangerRefused()
    {
        QFETCH(bool, allow);
        QHostAddress own;
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                own = a;
        if (own.isNull())
            QSKIP("no address beyond loopback on this machine");
        exchange::ServerOptions options;
        if (allow)
            options.allow << exchange::Subnet(own, 32);
        Start(options, own.toString());
        RawClient c(m_server->Port(kA), {}, own.toString());
        QCOMPARE(c.Socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(Served(c), allow);
        QCOMPARE(c.Closed(200), !allow);
    }
};

QTEST_GUILESS_MAIN(TestLimits)
#include "TestLimits.moc"
