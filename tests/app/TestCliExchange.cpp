// zoemlijn-cli against a running isdn-exchange, each process with its own
// HOME and ~/.capi20rc, as two subscribers on one machine would be.
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <map>

namespace {

quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

const char kCaller[] = "0302222222";
const char kCalled[] = "0301111111";
const char kAnswering[] = "0309999999";

// A remote-CAPI server that takes every connection and reads what comes, but
// answers at most the registrations: a router that has stopped talking.
class CapiStub final : public QObject
{
public:
    explicit CapiStub(bool confirmRegistrations) : m_confirm(confirmRegistrations)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
        });
        QVERIFY(m_home.isValid());
        QFile rc(m_home.filePath(".capi20rc"));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        rc.write(QString("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(m_server.serverPort()).toLatin1());
    }
    const QTemporaryDir& Home() const { return m_home; }
    int Frames() const { return m_frames; }

private:
    void Serve(QTcpSocket* socket)
    {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        // Each frame: a big-endian length that counts itself; a control
        // frame has its command at payload offset 4, f2 ff for REGISTER.
        while (pending.size() >= 2) {
            const int length = uint8_t(pending[0]) << 8 | uint8_t(pending[1]);
            if (length < 2 || pending.size() < length)
                break;
            const QByteArray frame = pending.left(length);
            pending.remove(0, length);
            ++m_frames;
            if (m_confirm && frame.size() >= 8 && uint8_t(frame[6]) == 0xf2 && uint8_t(frame[7]) == 0xff)
                socket->write(QByteArray::fromHex("000c00000000f3ff00000000"));
        }
    }

    QTcpServer m_server;
    QTemporaryDir m_home;
    std::map<QTcpSocket*, QByteArray> m_pending;
    int m_frames = 0;
    const bool m_confirm;
};

} // namespace

class TestCliExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void textArrivesAndCallIsRejected_data();
    void textArrivesAndCallIsRejected();
    void networkRefusals_data();
    void networkRefusals();
    void sendSaysWhatBecameOfTheText_data();
    void sendSaysWhatBecameOfTheText();
    void answeringSubscriberGetsTheBChannelPath();
    void listenerSurvivesExchangeRestart();
    void badArguments_data();
    void badArguments();
    void info();
    void silentServer_data();
    void silentServer();
    void signalsEndEveryCommand_data();
    void signalsEndEveryCommand();

private:
    QProcess m_exchange;
    QTemporaryDir m_homeCalled, m_homeCaller;

    QProcessEnvironment Env(const QTemporaryDir& home) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        return env;
    }
    // Runs the CLI to its end; returns the exit code.
    int Cli(const QTemporaryDir& home, const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(Env(home));
        p.start(ZL_CLI_BIN, args);
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
};

void TestCliExchange::initTestCase()
{
    QVERIFY(m_homeCalled.isValid() && m_homeCaller.isValid());
    const quint16 calledPort = FreePort();
    const quint16 callerPort = FreePort();
    auto writeRc = [](const QTemporaryDir& home, quint16 port) {
        QFile rc(home.filePath(".capi20rc"));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        rc.write(QString("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(port).toLatin1());
    };
    writeRc(m_homeCalled, calledPort);
    writeRc(m_homeCaller, callerPort);

    m_exchange.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_exchange.start(ZL_EXCHANGE_BIN, {"--line", QString("%1=%2").arg(kCalled).arg(calledPort), "--line",
                                       QString("%1=%2").arg(kCaller).arg(callerPort), "--answer", kAnswering});
    QVERIFY(m_exchange.waitForStarted());
    // Ready once both ports accept.
    for (quint16 port : {calledPort, callerPort}) {
        QTRY_VERIFY_WITH_TIMEOUT(([port] {
                                     QTcpSocket s;
                                     s.connectToHost(QHostAddress::LocalHost, port);
                                     return s.waitForConnected(100);
                                 }()),
                                 5000);
    }
}

void TestCliExchange::cleanupTestCase()
{
    m_exchange.terminate();
    if (!m_exchange.waitForFinished(3000))
        m_exchange.kill();
}

void TestCliExchange::textArrivesAndCallIsRejected_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "test tekst" << "test tekst";
    QTest::newRow("Windows-1252 letters round-trip") << QString::fromUtf8("héllo €uro") << QString::fromUtf8("héllo €uro");
    QTest::newRow("19 characters") << "1234567890123456789" << "1234567890123456789";
    QTest::newRow("control characters are not passed to the terminal")
        << QString::fromUtf8("a\x1b[2Jb") << QString::fromUtf8("a\uFFFD[2Jb");
}

void TestCliExchange::textArrivesAndCallIsRejected()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);

    QProcess listener;
    listener.setProcessEnvironment(Env(m_homeCalled));
    listener.start(ZL_CLI_BIN, {"--verbose", "listen", "--count", "1"});
    QVERIFY(listener.waitForStarted());
    // A listener left behind is asked to stop: killing a libcapi20 process
    // would leak its machine-wide application id.
    auto stop = qScopeGuard([&listener] {
        if (listener.state() != QProcess::NotRunning) {
            listener.terminate();
            listener.waitForFinished(5000);
        }
    });
    QByteArray stderrSoFar;
    QTRY_VERIFY_WITH_TIMEOUT((stderrSoFar += listener.readAllStandardError()).contains("wacht op teksten"), 10000);

    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, {"send", kCalled, text}, &out, &err), 0);
    QVERIFY2(out.contains("0x349D"), out + err);

    QVERIFY(listener.waitForFinished(10000));
    QCOMPARE(listener.exitCode(), 0);
    const QString line = QString::fromUtf8(listener.readAllStandardOutput()).trimmed();
    QCOMPARE(line, QString("%1\t%2\tUnrestricted digital information\t%3").arg(kCaller, kCalled, shown));
    // The receiving side rejected with Reject 5 and saw its own DISCONNECT_IND.
    stderrSoFar += listener.readAllStandardError();
    QVERIFY2(stderrSoFar.contains("CONNECT_RESP OK.") && stderrSoFar.contains("DISCONNECT_IND, Reason = 0x0000") &&
                 stderrSoFar.contains("ISDN connection is shutdown and PLCI = 0."),
             stderrSoFar);
}

void TestCliExchange::networkRefusals_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("unallocated number") << "0305555555" << QByteArray("0x3481");
    QTest::newRow("nobody listening on the line") << kCalled << QByteArray("0x3492");
}

void TestCliExchange::networkRefusals()
{
    QFETCH(QString, number);
    QFETCH(QByteArray, reason);
    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, {"send", number, "hallo"}, &out, &err), 1);
    QVERIFY2(out.contains(reason) && out.contains("niet afgeleverd"), out + err);
}

void TestCliExchange::sendSaysWhatBecameOfTheText_data()
{
    // The words zoemlijn-cli send has always used, now from the table it
    // shares with the window; and a text that looks like an option.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");
    const QString nobody = QString(" naar %1: niet afgeleverd: niemand luistert op dit nummer (0x3492)").arg(kCalled);
    QTest::newRow("taken by a listener")
        << QStringList{"send", kCalled, "hallo"} << true << 0
        << QString("Verz: hallo naar %1: afgeleverd: de ontvanger weigerde de oproep (0x349D, facility rejected)")
               .arg(kCalled);
    QTest::newRow("unallocated number") << QStringList{"send", "0305555555", "hallo"} << false << 1
                                        << "Verz: hallo naar 0305555555: niet afgeleverd: dit nummer bestaat niet (0x3481)";
    QTest::newRow("nobody listening on the line") << QStringList{"send", kCalled, "hallo"} << false << 1
                                                  << "Verz: hallo" + nobody;
    QTest::newRow("answered") << QStringList{"send", kAnswering, "hallo"} << false << 0
                              << QString("Verz: hallo naar %1: de oproep werd beantwoord en beëindigd (0x").arg(kAnswering);
    QTest::newRow("-v after --") << QStringList{"send", kCalled, "--", "-v"} << false << 1 << "Verz: -v" + nobody;
    QTest::newRow("--timeout after --, options before it")
        << QStringList{"--verbose", "send", "--timeout", "10", kCalled, "--", "--timeout"} << false << 1
        << "Verz: --timeout" + nobody;
}

void TestCliExchange::sendSaysWhatBecameOfTheText()
{
    QFETCH(QStringList, args);
    QFETCH(bool, listening);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QProcess listener;
    auto stop = qScopeGuard([&listener] {
        if (listener.state() != QProcess::NotRunning) {
            listener.terminate();
            listener.waitForFinished(5000);
        }
    });
    if (listening) {
        listener.setProcessEnvironment(Env(m_homeCalled));
        listener.start(ZL_CLI_BIN, {"--verbose", "listen", "--count", "1"});
        QVERIFY(listener.waitForStarted());
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += listener.readAllStandardError()).contains("wacht op teksten"), 10000);
    }
    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, args, &out, &err), exitCode);
    const QString said = QString::fromLocal8Bit(out).trimmed();
    QVERIFY2(line.endsWith("(0x") ? said.startsWith(line) : said == line, qPrintable(said + "\n" + err));
}

void TestCliExchange::answeringSubscriberGetsTheBChannelPath()
{
    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, {"--verbose", "send", kAnswering, "hoi"}, &out, &err), 0);
    QVERIFY2(out.contains("beantwoord"), out + err);
    // The link's own steps, in order, on the way.
    const QList<QByteArray> steps = {"CONNECT_CONF OK", "CONNECT_B3_REQ OK.", "CONNECT_B3_CONF OK",
                                     "ISDN connection established.", "DATA_B3_RESP OK.", "(Passive Disconnect)",
                                     "ISDN connection is shutdown and PLCI = 0."};
    qsizetype at = 0;
    for (const QByteArray& step : steps) {
        at = err.indexOf(step, at);
        QVERIFY2(at >= 0, "missing or out of order: " + step + "\n" + err);
    }
}

void TestCliExchange::listenerSurvivesExchangeRestart()
{
    // An exchange of its own, stopped and started again on the same ports.
    QTemporaryDir homeCalled, homeCaller;
    QVERIFY(homeCalled.isValid() && homeCaller.isValid());
    const quint16 calledPort = FreePort();
    const quint16 callerPort = FreePort();
    for (auto [home, port] : {std::pair{&homeCalled, calledPort}, std::pair{&homeCaller, callerPort}}) {
        QFile rc(home->filePath(".capi20rc"));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        rc.write(QString("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(port).toLatin1());
    }
    const QStringList exchangeArgs = {"--line", QString("%1=%2").arg(kCalled).arg(calledPort), "--line",
                                      QString("%1=%2").arg(kCaller).arg(callerPort)};
    QProcess exchange;
    auto startExchange = [&] {
        exchange.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        exchange.start(ZL_EXCHANGE_BIN, exchangeArgs);
        QVERIFY(exchange.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(([calledPort] {
                                     QTcpSocket s;
                                     s.connectToHost(QHostAddress::LocalHost, calledPort);
                                     return s.waitForConnected(100);
                                 }()),
                                 5000);
    };
    auto stopExchange = qScopeGuard([&exchange] {
        exchange.terminate();
        if (!exchange.waitForFinished(3000))
            exchange.kill();
        exchange.waitForFinished();
    });
    startExchange();

    QProcess listener;
    listener.setProcessEnvironment(Env(homeCalled));
    listener.start(ZL_CLI_BIN, {"listen"});
    QVERIFY(listener.waitForStarted());
    auto stopListener = qScopeGuard([&listener] {
        if (listener.state() != QProcess::NotRunning) {
            listener.terminate();
            listener.waitForFinished(5000);
        }
    });
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += listener.readAllStandardError()).contains("wacht op teksten"), 10000);

    exchange.terminate();
    QVERIFY(exchange.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT((err += listener.readAllStandardError()).contains("verbinding met CAPI verbroken"), 10000);
    QTest::qWait(500); // a few failed attempts while the exchange is away
    QCOMPARE(listener.state(), QProcess::Running);
    startExchange();
    QTRY_VERIFY_WITH_TIMEOUT((err += listener.readAllStandardError()).contains("verbinding met CAPI hersteld"), 15000);

    QByteArray out;
    QCOMPARE(Cli(homeCaller, {"send", kCalled, "na de herstart"}, &out, &err), 0);
    QVERIFY2(out.contains("0x349D"), out + err);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += listener.readAllStandardOutput()).contains("na de herstart"), 10000);
    QCOMPARE(QString::fromUtf8(received).trimmed(),
             QString("%1\t%2\tUnrestricted digital information\tna de herstart").arg(kCaller, kCalled));
    QCOMPARE(listener.state(), QProcess::Running);
}

void TestCliExchange::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no command") << QStringList{} << QByteArray("Gebruik:");
    QTest::newRow("unknown command") << QStringList{"bellen"} << QByteArray("onbekende opdracht");
    QTest::newRow("text of 20 characters") << QStringList{"send", kCalled, "12345678901234567890"}
                                           << QByteArray("tekst te lang");
    QTest::newRow("letters in the number") << QStringList{"send", "12ab", "x"} << QByteArray("ongeldig nummer");
    QTest::newRow("text missing") << QStringList{"send", kCalled} << QByteArray("NUMMER en een TEKST");
    QTest::newRow("bad count") << QStringList{"listen", "--count", "nul"} << QByteArray("ongeldige --count");
    // Never sent as the text.
    QTest::newRow("--timeout without its value")
        << QStringList{"send", kCalled, "--timeout"} << QByteArray("--timeout zonder waarde");
    QTest::newRow("--count without its value") << QStringList{"listen", "--count"} << QByteArray("--count zonder waarde");
    QTest::newRow("--timeout past any number of seconds")
        << QStringList{"send", kCalled, "x", "--timeout", "99999999999"} << QByteArray("ongeldige --timeout");
    QTest::newRow("--timeout whose milliseconds overflow")
        << QStringList{"info", "--timeout", "2147484"} << QByteArray("ongeldige --timeout");
    QTest::newRow("--timeout 0") << QStringList{"listen", "--timeout", "0"} << QByteArray("ongeldige --timeout");
    QTest::newRow("unknown option") << QStringList{"send", kCalled, "-x"} << QByteArray("onbekende optie: -x");
    QTest::newRow("--count outside listen")
        << QStringList{"send", kCalled, "x", "--count", "1"} << QByteArray("--count hoort bij listen");
}

void TestCliExchange::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);
    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, args, &out, &err), 2);
    QVERIFY2(err.contains(message), err);
}

void TestCliExchange::info()
{
    QByteArray out, err;
    QCOMPARE(Cli(m_homeCaller, {"info"}, &out, &err), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines[1].startsWith("CAPI serienummer is: "), out);
    QVERIFY2(lines[2].startsWith("CAPI ver 2.0, Manufacturer number "), out);
    QCOMPARE(lines[4], QByteArray("Aantal B-kanalen: 2 ; B2 Proto: 0x0003"));
}

void TestCliExchange::silentServer_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("shown"); // on stdout and stderr
    QTest::newRow("send") << QStringList{"send", kCalled, "hoi", "--timeout", "2"}
                          << QByteArray("aanmelden bij CAPI mislukt: RegisterCAPIAppl: CAPI_REGISTER failed, "
                                        "no answer within 2000 ms.");
    QTest::newRow("listen") << QStringList{"listen", "--timeout", "2"}
                            << QByteArray("CAPI_REGISTER failed, no answer within 2000 ms.");
    QTest::newRow("info") << QStringList{"info", "--timeout", "2"}
                          << QByteArray("GetCAPIManufacturer: CAPI_GET_MANUFACTURER failed, no answer within 2000 ms.\n"
                                        "CAPI_GET_SERIAL_NUMBER failed, no answer within 2000 ms.\n"
                                        "CAPI_GET_VERSION failed, no answer within 2000 ms.\n"
                                        "GetCAPIProfile: CAPI_GET_PROFILE failed, no answer within 2000 ms.\n");
}

void TestCliExchange::silentServer()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, shown);
    CapiStub silent(false);
    QByteArray out, err;
    QCOMPARE(Cli(silent.Home(), args, &out, &err), 1);
    QVERIFY2((out + err).contains(shown), out + err);
}

void TestCliExchange::signalsEndEveryCommand_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("registers"); // the server confirms registrations
    QTest::addColumn<QByteArray>("before"); // on stderr before the signal
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    const QStringList send{"--verbose", "send", kCalled, "hoi", "--timeout", "60"};
    const QStringList listen{"--verbose", "listen", "--timeout", "60"};
    const QByteArray registered("RegisterCAPIAppl: ApplId = ");
    QTest::newRow("send registering, SIGINT") << send << false << QByteArray() << SIGINT << 1;
    QTest::newRow("listen registering, SIGTERM") << listen << false << QByteArray() << SIGTERM << 0;
    QTest::newRow("info asking, SIGINT") << QStringList{"info", "--timeout", "60"} << false << QByteArray() << SIGINT << 1;
    QTest::newRow("send waiting for the network, SIGTERM") << send << true << registered << SIGTERM << 1;
    QTest::newRow("listen waiting for its LISTEN_CONF, SIGTERM") << listen << true << registered << SIGTERM << 0;
}

void TestCliExchange::signalsEndEveryCommand()
{
    QFETCH(QStringList, args);
    QFETCH(bool, registers);
    QFETCH(QByteArray, before);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    CapiStub server(registers);
    QProcess cli;
    cli.setProcessEnvironment(Env(server.Home()));
    cli.start(ZL_CLI_BIN, args);
    QVERIFY(cli.waitForStarted());
    auto stop = qScopeGuard([&cli] {
        if (cli.state() != QProcess::NotRunning) {
            cli.kill();
            cli.waitForFinished();
        }
    });
    // The driver has asked the server something, so the program is past its
    // start and waiting.
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT(server.Frames() > 0 && (err += cli.readAllStandardError()).contains(before), 10000);
    QTest::qWait(100);
    QCOMPARE(cli.state(), QProcess::Running);

    QCOMPARE(::kill(pid_t(cli.processId()), signal), 0);
    // Long before any bound: the program ends by itself, not by the signal.
    QTRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, 5000);
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), exitCode);
    err += cli.readAllStandardError();
    QVERIFY2(err.contains("zoemlijn-cli: onderbroken"), err);
    // What was registered is released before the end.
    QCOMPARE(err.contains("released successfuly."), registers);
}

QTEST_GUILESS_MAIN(TestCliExchange)
#include "TestCliExchange.moc"
