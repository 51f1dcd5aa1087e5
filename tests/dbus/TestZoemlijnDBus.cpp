// The window's D-Bus interface on a private session bus (run under
// dbus-run-session): the service offered on the test's own connection, called
// and listened to from a second connection as another program would.
#include "Cp1252.h"
#include "PropertiesProxy.h"
#include "ZoemlijnBus.h"
#include "ZoemlijnDBusAdaptor.h"
#include "ZoemlijnProxy.h"
#include "ZoemlijnService.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QRegularExpression>

#include <memory>

using namespace zoemlijnbus;

namespace {

const QString kServiceName = QString::fromLatin1(kService);
const QString kPathName = QString::fromLatin1(kPath);

// The window behind the service: records each send handed to it and gives
// the answer the test set.
struct FakeWindow
{
    QList<QStringList> sends;
    std::optional<QString> answer;

    CZoemlijnService::Sender Sender()
    {
        return [this](const QString& number, const QString& text) {
            sends << QStringList{number, text};
            return answer;
        };
    }
};

// Waits from the event loop (the service answers from this same thread).
bool Finish(QDBusPendingCall call)
{
    QDBusPendingCallWatcher watcher(call);
    QSignalSpy finished(&watcher, &QDBusPendingCallWatcher::finished);
    return watcher.isFinished() || finished.wait(10000);
}

// The interface named in an introspection document, without its comments
// and the blanks between elements, so that two descriptions compare.
QString Interface(QString xml)
{
    xml.remove(QRegularExpression("<!--.*?-->", QRegularExpression::DotMatchesEverythingOption));
    xml.replace(QRegularExpression(">\\s+<"), "><");
    const qsizetype start = xml.indexOf(QStringLiteral("<interface name=\"%1\">").arg(kInterface));
    return start < 0 ? QString() : xml.mid(start, xml.indexOf("</interface>", start) + 12 - start);
}

} // namespace

class TestZoemlijnDBus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void send_data();
    void send();
    void signalsAsTheLogShowsThem();
    void linkUp();
    void takenName();
    void offerInAProcessOfItsOwn_data();
    void offerInAProcessOfItsOwn();
    void introspection();

private:
    // Another program's connection to the same bus.
    QDBusConnection Client() { return QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client"); }
    // After this, the signals a proxy on the client connection was
    // connected to reach it: the bus has its match rules.
    void RoundTrip() { QVERIFY(Client().interface()->isServiceRegistered(kServiceName).isValid()); }

    FakeWindow m_window;
    std::unique_ptr<CZoemlijnService> m_service;
};

void TestZoemlijnDBus::initTestCase()
{
    if (!QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus: run under dbus-run-session");
    qRegisterMetaType<ushort>("ushort");
}

void TestZoemlijnDBus::init()
{
    m_window = FakeWindow();
    m_service = std::make_unique<CZoemlijnService>(m_window.Sender());
    QCOMPARE(CZoemlijnDBusAdaptor::Offer(*m_service, QDBusConnection::sessionBus()), CZoemlijnDBusAdaptor::Offered::Yes);
}

void TestZoemlijnDBus::cleanup() { m_service.reset(); }

void TestZoemlijnDBus::send_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // the window's; empty: it takes the text
    QTest::addColumn<QString>("error");   // the D-Bus error's name; empty: none
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("reachesWindow");

    const QString refused = QString::fromLatin1(kErrorRefused);
    const QString invalid = QString::fromLatin1(kErrorInvalidArgs);
    QTest::newRow("8-bit text as typed") << "0301111111" << "Zoë €5 ½" << "" << "" << "" << true;
    QTest::newRow("19 characters, the most") << "0301111111" << "1234567890123456789" << "" << "" << "" << true;
    QTest::newRow("empty text") << "0301111111" << "" << "" << "" << "" << true;
    QTest::newRow("window still in its pause")
        << "0301111111" << "hallo" << CZoemlijnService::kRefusedPause << refused << CZoemlijnService::kRefusedPause
        << true;
    QTest::newRow("* and # in the number") << "*31#" << "hallo" << "" << invalid << "Alleen cijfers in het nummer"
                                           << false;
    QTest::newRow("20 characters") << "0301111111" << "12345678901234567890" << "" << invalid
                                   << "Tekst te lang: hoogstens 19 tekens" << false;
    QTest::newRow("character outside Windows-1252")
        << "0301111111" << "ok 日" << "" << invalid << "Dit teken kan niet verstuurd worden: 日" << false;
    QTest::newRow("character beyond the first plane")
        << "0301111111" << "ok \U0001F600" << "" << invalid << "Dit teken kan niet verstuurd worden: \U0001F600"
        << false;
}

void TestZoemlijnDBus::send()
{
    QFETCH(QString, number);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(bool, reachesWindow);

    if (!refusal.isEmpty())
        m_window.answer = refusal;
    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QDBusPendingReply<> reply = window.Send(number, text);
    QVERIFY(Finish(reply));
    QCOMPARE(reply.isError(), !error.isEmpty());
    QCOMPARE(reply.error().name(), error);
    QCOMPARE(reply.error().message(), message);
    const QList<QStringList> handedOver = reachesWindow ? QList<QStringList>{{number, text}} : QList<QStringList>();
    QCOMPARE(m_window.sends, handedOver);
}

void TestZoemlijnDBus::signalsAsTheLogShowsThem()
{
    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QSignalSpy received(&window, &CZoemlijnProxy::TextReceived);
    QSignalSpy sent(&window, &CZoemlijnProxy::TextSent);
    QSignalSpy delivered(&window, &CZoemlijnProxy::Delivery);
    RoundTrip();
    // The window's strings as it decoded them from the network's octets:
    // 8-bit letters as they are, control octets and NUL as blanks.
    const QDateTime time(QDate(1999, 12, 6), QTime(9, 5, 7), QTimeZone("Europe/Amsterdam"));
    m_service->ReportReceived(cp1252::Decode("030\x1b[2J"), "Zoë\tB", cp1252::Decode(QByteArray("caf\xe9 \x80\r\nb\0c\x7f\x81", 13)),
                              "0301111111", "Speech", time);
    m_service->ReportSent("0301111111", cp1252::Decode("\x80 \xe9\n"));
    m_service->ReportDelivery("0301111111", "x", 0xFFFF);
    QTRY_COMPARE(delivered.size(), 1);
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first(),
             (QVariantList{"030 [2J", "Zoë B", "café €  b c  ", "0301111111", "Speech", 944467507LL}));
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first(), (QVariantList{"0301111111", "€ é "}));
    QCOMPARE(delivered.first(), (QVariantList{"0301111111", "x", QVariant::fromValue(ushort(0xFFFF))}));
}

void TestZoemlijnDBus::linkUp()
{
    CPropertiesProxy properties(kServiceName, kPathName, Client());
    QSignalSpy changed(&properties, &CPropertiesProxy::PropertiesChanged);
    RoundTrip();
    // A Get's answer comes after every signal sent before it.
    const auto get = [&properties] {
        QDBusPendingReply<QDBusVariant> reply = properties.Get(QString::fromLatin1(kInterface), "LinkUp");
        return Finish(reply) && !reply.isError() ? reply.value().variant() : QVariant();
    };
    QCOMPARE(get(), QVariant(false)); // down from the start
    // Each change said once; the same state again says nothing.
    for (bool up : {false, true, true, false, false})
        m_service->SetLinkUp(up);
    QCOMPARE(get(), QVariant(false));
    QCOMPARE(changed.size(), 2);
    for (qsizetype i = 0; i < changed.size(); ++i) {
        QCOMPARE(changed.at(i).at(0).toString(), QString::fromLatin1(kInterface));
        QCOMPARE(changed.at(i).at(1).toMap(), (QVariantMap{{"LinkUp", i == 0}}));
        QCOMPARE(changed.at(i).at(2).toStringList(), QStringList());
    }
    m_service->SetLinkUp(true);
    QCOMPARE(get(), QVariant(true));
}

void TestZoemlijnDBus::takenName()
{
    // A second copy on its own connection to the same bus.
    const QDBusConnection secondBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "second");
    FakeWindow secondWindow;
    {
        CZoemlijnService second(secondWindow.Sender());
        QCOMPARE(CZoemlijnDBusAdaptor::Offer(second, secondBus), CZoemlijnDBusAdaptor::Offered::NameTaken);
        // Nothing of it on the bus: its own connection shows no object.
        QDBusMessage introspect = QDBusMessage::createMethodCall(secondBus.baseService(), kPathName,
                                                                 "org.freedesktop.DBus.Introspectable", "Introspect");
        QDBusPendingCall call = Client().asyncCall(introspect);
        QVERIFY(Finish(call));
        QVERIFY(!QDBusPendingReply<QString>(call).value().contains(QString::fromLatin1(kInterface)));
    }
    // The first one still answers, under the name and at the path.
    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QDBusPendingReply<> reply = window.Send("0301111111", "hallo");
    QVERIFY(Finish(reply));
    QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    QCOMPARE(m_window.sends.size(), 1);
    QCOMPARE(secondWindow.sends.size(), 0);
}

void TestZoemlijnDBus::offerInAProcessOfItsOwn_data()
{
    QTest::addColumn<bool>("holdName");   // this test's service has the name
    QTest::addColumn<QString>("busAddress"); // empty: no address at all
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QByteArray>("said"); // on stderr

    const QString ours = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    const QByteArray taken = "Zoemlijn: nl.vlinderwerk.Zoemlijn is op de sessiebus al in gebruik (draait Zoemlijn "
                             "al?); dit venster is niet via D-Bus te bereiken\n";
    QTest::newRow("name free") << false << ours << QByteArray("Yes") << QByteArray();
    QTest::newRow("name taken, said once") << true << ours << QByteArray("NameTaken") << taken;
    QTest::newRow("no session bus") << false << QString() << QByteArray("NoBus") << QByteArray();
}

void TestZoemlijnDBus::offerInAProcessOfItsOwn()
{
    QFETCH(bool, holdName);
    QFETCH(QString, busAddress);
    QFETCH(QByteArray, result);
    QFETCH(QByteArray, said);

    if (!holdName)
        m_service.reset();
    // No address, no display to start a bus for, no bus in the runtime folder.
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    if (busAddress.isEmpty())
        env.remove("DBUS_SESSION_BUS_ADDRESS");
    else
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    QProcess peer;
    peer.setProcessEnvironment(env);
    peer.start(ZL_DBUS_PEER_BIN);
    // Its offer asks the bus, which runs in its own process: waiting here
    // blocks nothing it needs.
    QVERIFY(peer.waitForFinished(15000));
    QCOMPARE(peer.exitCode(), 0);
    QCOMPARE(peer.readAllStandardOutput().trimmed(), result);
    QCOMPARE(peer.readAllStandardError(), said);
}

void TestZoemlijnDBus::introspection()
{
    QFile file(ZL_DBUS_XML);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString described = Interface(QString::fromUtf8(file.readAll()));
    QVERIFY(described.contains("<signal name=\"Delivery\">"));

    QDBusMessage introspect =
        QDBusMessage::createMethodCall(kServiceName, kPathName, "org.freedesktop.DBus.Introspectable", "Introspect");
    QDBusPendingReply<QString> reply = Client().asyncCall(introspect);
    QVERIFY(Finish(reply));
    QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    // The bus shows what the interface file says, which zoemlijn-cli's proxy
    // is made from; and the standard interfaces a client needs beside it.
    QCOMPARE(Interface(reply.value()), described);
    QVERIFY(reply.value().contains("<interface name=\"org.freedesktop.DBus.Properties\">"));
}

QTEST_MAIN(TestZoemlijnDBus)
#include "TestZoemlijnDBus.moc"
