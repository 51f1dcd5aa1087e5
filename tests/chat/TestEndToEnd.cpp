// Two windows in two processes, each with its own HOME and working
// directory, texting each other through isdn-exchange and the real
// libcapi20.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char kNumberA[] = "0301111111";
const char kNumberB[] = "0302222222";

quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// One window process, steered over its stdin.
class Peer
{
public:
    // Each on a session bus of its own where it can, as each user's desktop
    // has one.
    bool Start(const QString& home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.remove("XDG_CONFIG_HOME");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(home);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef ZL_DBUS_RUN_SESSION
        m_process.start(ZL_DBUS_RUN_SESSION, {"--", ZL_CHAT_PEER_BIN});
#else
        m_process.start(ZL_CHAT_PEER_BIN);
#endif
        return m_process.waitForStarted() && ReadLine() == "ready";
    }
    QByteArray Command(const QByteArray& line)
    {
        m_process.write(line + '\n');
        return ReadLine();
    }
    QJsonObject Dump() { return QJsonDocument::fromJson(Command("dump")).object(); }
    bool Quit()
    {
        m_process.write("quit\n");
        return ReadLine() == "bye" && m_process.waitForFinished(10000) && m_process.exitCode() == 0;
    }
    ~Peer()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // The end of its input ends the window, and with it the bus that
        // dbus-run-session started for it; killed, that bus would stay.
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

private:
    QByteArray ReadLine()
    {
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(15000))
                return "<no answer>";
        return m_process.readLine().trimmed();
    }
    QProcess m_process;
};

// zoemlijn-cli on the session bus at `bus`.
void StartCli(QProcess& cli, const QByteArray& bus, const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromLocal8Bit(bus));
    cli.setProcessEnvironment(env);
    cli.start(ZL_CLI_BIN, args);
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void textFromBToA();
    void textThroughTheBus();

private:
    QProcess m_exchange;
    QTemporaryDir m_homeA, m_homeB;
};

void TestEndToEnd::initTestCase()
{
    const quint16 portA = FreePort();
    const quint16 portB = FreePort();
    WriteFile(m_homeA.filePath(".capi20rc"), QString("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(portA).toLatin1());
    WriteFile(m_homeB.filePath(".capi20rc"), QString("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(portB).toLatin1());
    // B sends without the pause; A knows nobody.
    WriteFile(m_homeB.filePath(".config/Vlinderwerk/Zoemlijn.conf"), "[Capi%20settings]\nFastSend=1\n");
    WriteFile(m_homeA.filePath("telefoonboek.dat"), "");

    m_exchange.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_exchange.start(ZL_EXCHANGE_BIN, {"--line", QString("%1=%2").arg(kNumberA).arg(portA), "--line",
                                       QString("%1=%2").arg(kNumberB).arg(portB)});
    QVERIFY(m_exchange.waitForStarted());
    for (quint16 port : {portA, portB}) {
        QTRY_VERIFY_WITH_TIMEOUT(([port] {
                                     QTcpSocket s;
                                     s.connectToHost(QHostAddress::LocalHost, port);
                                     return s.waitForConnected(100);
                                 }()),
                                 5000);
    }
}

void TestEndToEnd::cleanupTestCase()
{
    m_exchange.terminate();
    if (!m_exchange.waitForFinished(3000))
        m_exchange.kill();
}

void TestEndToEnd::textFromBToA()
{
    Peer a, b;
    QVERIFY(a.Start(m_homeA.path()));
    QVERIFY(b.Start(m_homeB.path()));
    const QString text = QString::fromUtf8("hallo daar €é");

    QCOMPARE(b.Command(QByteArray("type phoneNumberEdit ") + kNumberA), QByteArray("ok"));
    QCOMPARE(b.Command("type sendTextEdit " + text.toUtf8()), QByteArray("ok"));
    QCOMPARE(b.Command("click sendButton"), QByteArray("ok"));
    QCOMPARE(a.Command("wait-rows 1"), QByteArray("ok"));

    const QJsonObject sender = b.Dump();
    QCOMPARE(sender["log"].toString(), "Verz: " + text + "\n");
    QCOMPARE(sender["sendText"].toString(), QString());
    QCOMPARE(sender["messages"].toArray().size(), 0);

    const QJsonObject receiver = a.Dump();
    QCOMPARE(receiver["log"].toString(), "Ontv: " + text + "\n");
    QCOMPARE(receiver["caller"].toString(), QString(" / ") + kNumberB);
    QCOMPARE(receiver["calledNumber"].toString(), QString(kNumberA));
    QCOMPARE(receiver["callType"].toString(), QString("Unrestricted digital information"));
    QCOMPARE(receiver["messages"].toArray().size(), 0);
    const QJsonArray top = receiver["rows"].toArray().at(0).toArray();
    QCOMPARE(top.at(0).toString(), QString(kNumberB));
    QCOMPARE(top.at(1).toString(), QString("niet in tel.boek"));
    QCOMPARE(top.at(2).toString(), text);
    QCOMPARE(top.at(3).toString(), QString(kNumberA));
    QCOMPARE(top.at(6).toString(), QString("Unrestricted digital information"));

    QVERIFY(a.Quit());
    QVERIFY(b.Quit());
    QFile list(m_homeA.filePath("bellijst.dat"));
    QVERIFY(list.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = list.readAll().split('\n');
    QCOMPARE(lines.size(), 8); // seven lines, each ending in CR LF
    QCOMPARE(lines.at(0), QByteArray(kNumberB) + "\r");
    QCOMPARE(lines.at(2), QByteArray("hallo daar \x80\xe9\r"));
    QCOMPARE(lines.at(6), QByteArray("Unrestricted digital information\r"));
}

void TestEndToEnd::textThroughTheBus()
{
#ifndef ZL_DBUS_RUN_SESSION
    QSKIP("needs dbus-run-session");
#endif
    // B says what became of each text.
    WriteFile(m_homeB.filePath(".config/Vlinderwerk/Zoemlijn.conf"),
              "[Capi%20settings]\nFastSend=1\n\n[Extra]\nDeliveryReport=1\n");
    Peer a, b;
    QVERIFY(a.Start(m_homeA.path()));
    QVERIFY(b.Start(m_homeB.path()));
    const QByteArray busA = a.Command("bus");
    const QByteArray busB = b.Command("bus");
    QVERIFY(!busA.isEmpty() && !busB.isEmpty() && busA != busB);
    const QString text = QString::fromUtf8("via de bus €é");

    QProcess watch;
    QByteArray watchSaid;
    QObject::connect(&watch, &QProcess::readyReadStandardError, [&] { watchSaid += watch.readAllStandardError(); });
    StartCli(watch, busA, {"watch", "--count", "1"});
    QTRY_VERIFY_WITH_TIMEOUT(watchSaid.contains("wacht op teksten van het venster"), 10000);

    // B's window sends, and hears from the network that A took the text.
    QProcess send;
    StartCli(send, busB, {"send", "--window", kNumberA, text});
    QVERIFY(send.waitForFinished(20000));
    const QByteArray sent = send.readAllStandardOutput();
    QVERIFY2(sent.startsWith("Verz: " + text.toUtf8() + " naar " + kNumberA + ": afgeleverd"),
             sent + send.readAllStandardError());
    QCOMPARE(send.exitCode(), 0);

    // A's TextReceived carries it.
    QVERIFY(watch.waitForFinished(10000));
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(watch.readAllStandardOutput()),
             QString("%1\t%2\tUnrestricted digital information\t%3\n").arg(kNumberB, kNumberA, text));
    QCOMPARE(b.Command("wait-log Afgeleverd"), QByteArray("ok"));
    QCOMPARE(b.Dump()["log"].toString(), "Verz: " + text + "\nAfgeleverd\n");
    QCOMPARE(a.Dump()["log"].toString(), "Ontv: " + text + "\n");

    // A number the exchange does not know.
    StartCli(send, busB, {"send", "--window", "0309999999", "weg"});
    QVERIFY(send.waitForFinished(20000));
    QCOMPARE(send.exitCode(), 1);
    QCOMPARE(b.Command("wait-log Niet afgeleverd: nummer onbekend"), QByteArray("ok"));
    const QJsonObject sender = b.Dump();
    QVERIFY2(sender["log"].toString().endsWith("Verz: weg\nNiet afgeleverd: nummer onbekend\n"),
             qPrintable(sender["log"].toString()));
    QCOMPARE(sender["messages"].toArray().size(), 0);

    QVERIFY(a.Quit());
    QVERIFY(b.Quit());
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
