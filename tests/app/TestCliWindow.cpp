// zoemlijn-cli's watch and send --window against a window's service object
// in this process, on a private session bus (run under dbus-run-session).
// The CLI runs as a child while this process's event loop answers for the
// window. A text delivered through a real window, 8-bit letters and all, is
// TestEndToEnd's.
#include "ZoemlijnDBusAdaptor.h"
#include "ZoemlijnService.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

const char kNumber[] = "0301111111";

// One zoemlijn-cli run, its output gathered while the event loop runs.
class Cli
{
public:
    explicit Cli(const QStringList& args, bool withBus = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!withBus) {
            env.remove("DBUS_SESSION_BUS_ADDRESS");
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
            env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        }
        m_process.setProcessEnvironment(env);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { err += m_process.readAllStandardError(); });
        m_process.start(ZL_CLI_BIN, args);
    }
    ~Cli()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // The exit code once it has ended by itself, else -1.
    int Finish()
    {
        // Never waitForFinished: the window it talks to answers from this
        // thread's event loop.
        if (!QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, 20000) ||
            m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        out += m_process.readAllStandardOutput();
        err += m_process.readAllStandardError();
        return m_process.exitCode();
    }
    bool Said(const QByteArray& text)
    {
        return QTest::qWaitFor([&] { return err.contains(text) || m_process.state() == QProcess::NotRunning; },
                               10000) &&
               err.contains(text);
    }
    void Signal(int number) { ::kill(pid_t(m_process.processId()), number); }

    QByteArray out, err;

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
};

// The window behind the service: takes or refuses each send, and has the
// network clear the call with the reason the test set.
class FakeWindow
{
public:
    QList<QStringList> sends;
    std::optional<QString> answer;
    int reason = 0; // the Delivery after an accepted send; 0: none
    bool otherTextFirst = false;

    CZoemlijnService& Service()
    {
        if (!m_service) {
            m_service = std::make_unique<CZoemlijnService>([this](const QString& number, const QString& text) {
                sends << QStringList{number, text};
                if (!answer)
                    QTimer::singleShot(50, m_service.get(), [this, number, text] { Clear(number, text); });
                return answer;
            });
        }
        return *m_service;
    }
    bool Offer()
    {
        return CZoemlijnDBusAdaptor::Offer(Service(), QDBusConnection::sessionBus()) ==
               CZoemlijnDBusAdaptor::Offered::Yes;
    }

private:
    void Clear(const QString& number, const QString& text)
    {
        if (otherTextFirst)
            m_service->ReportDelivery(number, "anders", 0x349D);
        if (reason)
            m_service->ReportDelivery(number, text, quint16(reason));
    }
    std::unique_ptr<CZoemlijnService> m_service;
};

} // namespace

class TestCliWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sendThroughWindow_data();
    void sendThroughWindow();
    void watchFollowsARestartedWindow();
    void watchEndsOnSignals_data();
    void watchEndsOnSignals();
    void refusedBeforeAsking_data();
    void refusedBeforeAsking();
};

void TestCliWindow::initTestCase()
{
    if (!QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus: run under dbus-run-session");
}

void TestCliWindow::sendThroughWindow_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("refusal");     // the window's; empty: it takes the text
    QTest::addColumn<int>("reason");          // how the network clears the call; 0: it never does
    QTest::addColumn<bool>("otherTextFirst"); // another text's report comes first
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // the one line: a report on stdout, else on stderr

    const QStringList hallo{"send", "--window", kNumber, "hallo"};
    const QString verz = QString("Verz: hallo naar %1: ").arg(kNumber);
    QTest::newRow("nobody listens") << hallo << "" << 0x3492 << false << 1
                                    << verz + "niet afgeleverd: niemand luistert op dit nummer (0x3492)";
    QTest::newRow("another text's report first")
        << hallo << "" << 0x3491 << true << 1 << verz + "niet afgeleverd: in gesprek (0x3491)";
    QTest::newRow("text after --") << QStringList{"send", "--window", kNumber, "--", "-v"} << "" << 0x349D << false
                                   << 0 << QString("Verz: -v naar %1: afgeleverd").arg(kNumber);
    QTest::newRow("driver refuses") << hallo << "Connect werkte niet" << 0 << false << 1
                                    << "zoemlijn-cli: Connect werkte niet";
    QTest::newRow("# in the number, which the window's field refuses")
        << QStringList{"send", "--window", "*31#", "hallo"} << "" << 0 << false << 1
        << "zoemlijn-cli: Alleen cijfers in het nummer";
    QTest::newRow("no report within --timeout")
        << QStringList{"send", "--window", "--timeout", "1", kNumber, "hallo"} << "" << 0 << false << 1
        << "zoemlijn-cli: geen bericht van het venster over de oproep binnen 1 s";
}

void TestCliWindow::sendThroughWindow()
{
    QFETCH(QStringList, args);
    QFETCH(QString, refusal);
    QFETCH(int, reason);
    QFETCH(bool, otherTextFirst);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    FakeWindow window;
    if (!refusal.isEmpty())
        window.answer = refusal;
    window.reason = reason;
    window.otherTextFirst = otherTextFirst;
    QVERIFY(window.Offer());

    Cli cli(args);
    QCOMPARE(cli.Finish(), exitCode);
    const bool report = said.startsWith("Verz: ");
    const QByteArray& line = report ? cli.out : cli.err;
    QVERIFY2(report ? QString::fromUtf8(line).startsWith(said) && line.count('\n') == 1 : line == said.toUtf8() + '\n',
             cli.out + cli.err);
    QCOMPARE(report ? cli.err : cli.out, QByteArray());
    // The number and the text as given, unless the window's field would
    // refuse the number.
    const QList<QStringList> handedOver{{kNumber, args.last()}};
    QCOMPARE(window.sends, args.contains("*31#") ? QList<QStringList>() : handedOver);
}

void TestCliWindow::watchFollowsARestartedWindow()
{
    auto window = std::make_unique<FakeWindow>();
    QVERIFY(window->Offer());
    Cli cli({"watch", "--count", "1"});
    QVERIFY2(cli.Said("wacht op teksten van het venster"), cli.err);
    window.reset();
    QVERIFY2(cli.Said("het venster is gestopt, wacht tot het terugkomt"), cli.err);
    window = std::make_unique<FakeWindow>();
    QVERIFY(window->Offer());
    QVERIFY2(cli.Said("het venster is er weer"), cli.err);
    window->Service().ReportReceived("0302222222", "", "terug", kNumber, "Speech", QDateTime::currentDateTime());
    QCOMPARE(cli.Finish(), 0);
    QCOMPARE(cli.out, QByteArray("0302222222\t0301111111\tSpeech\tterug\n"));
}

void TestCliWindow::watchEndsOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestCliWindow::watchEndsOnSignals()
{
    QFETCH(int, signalNumber);
    FakeWindow window;
    QVERIFY(window.Offer());
    Cli cli({"watch"});
    QVERIFY2(cli.Said("wacht op teksten van het venster"), cli.err);
    cli.Signal(signalNumber);
    QCOMPARE(cli.Finish(), 0);
    QCOMPARE(cli.out, QByteArray());
}

void TestCliWindow::refusedBeforeAsking_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("windowRuns");
    QTest::addColumn<bool>("withBus");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    const QStringList send{"send", "--window", kNumber, "hallo"};
    QTest::newRow("send, no window") << send << false << true << 1
                                     << QByteArray("zoemlijn-cli: er draait geen Zoemlijn-venster (niemand heeft "
                                                   "nl.vlinderwerk.Zoemlijn op de sessiebus)\n");
    QTest::newRow("watch, no session bus")
        << QStringList{"watch"} << false << false << 1
        << QByteArray("zoemlijn-cli: geen D-Bus-sessiebus, dus geen Zoemlijn-venster te bereiken\n");
    // A window runs: the arguments are refused before it is asked anything.
    QTest::newRow("--window with listen") << QStringList{"listen", "--window"} << true << true << 2
                                          << QByteArray("--window hoort bij send");
    QTest::newRow("--timeout with watch") << QStringList{"watch", "--timeout", "5"} << true << true << 2
                                          << QByteArray("--timeout hoort niet bij watch");
    QTest::newRow("an argument for watch") << QStringList{"watch", "nu"} << true << true << 2
                                           << QByteArray("onbekend argument voor watch: nu");
    QTest::newRow("send --window without a text") << QStringList{"send", "--window", kNumber} << true << true << 2
                                                  << QByteArray("NUMMER en een TEKST");
    QTest::newRow("send --window, text of 20 characters")
        << QStringList{"send", "--window", kNumber, "12345678901234567890"} << true << true << 2
        << QByteArray("tekst te lang");
    QTest::newRow("--count with send --window") << QStringList{"send", "--window", kNumber, "x", "--count", "1"}
                                                << true << true << 2 << QByteArray("--count hoort bij listen of watch");
}

void TestCliWindow::refusedBeforeAsking()
{
    QFETCH(QStringList, args);
    QFETCH(bool, windowRuns);
    QFETCH(bool, withBus);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    FakeWindow window;
    if (windowRuns)
        QVERIFY(window.Offer());
    Cli cli(args, withBus);
    QCOMPARE(cli.Finish(), exitCode);
    QVERIFY2(exitCode == 2 ? cli.err.contains(message) : cli.err == message, cli.err);
    QCOMPARE(cli.out, QByteArray());
    QCOMPARE(window.sends.size(), 0);
}

QTEST_MAIN(TestCliWindow)
#include "TestCliWindow.moc"
