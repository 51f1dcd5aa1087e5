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
#include <QXmlStreamReader>

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

// The interface as an introspection document describes it, one line per
// member, so that two descriptions compare line by line.
QStringList Members(const QString& xml, const QString& interfaceName)
{
    QStringList members;
    QXmlStreamReader reader(xml);
    bool inside = false;
    QString member;
    QStringList args;
    while (!reader.atEnd()) {
        reader.readNext();
        const QString tag = reader.name().toString();
        const QXmlStreamAttributes a = reader.attributes();
        if (reader.isStartElement()) {
            if (tag == "interface")
                inside = a.value("name") == interfaceName;
            else if (!inside)
                continue;
            else if (tag == "method" || tag == "signal") {
                member = tag + ' ' + a.value("name").toString();
                args.clear();
            }
            else if (tag == "arg")
                args << (a.value("direction").toString() + ' ' + a.value("type").toString() + ' ' +
                         a.value("name").toString()).trimmed();
            else if (tag == "property")
                members << "property " + a.value("name").toString() + ' ' + a.value("type").toString() + ' ' +
                               a.value("access").toString();
            else if (tag == "annotation")
                members << "annotation " + a.value("name").toString() + '=' + a.value("value").toString();
        } else if (reader.isEndElement() && inside) {
            if (tag == "method" || tag == "signal")
                members << member + '(' + args.join(", ") + ')';
            else if (tag == "interface")
                inside = false;
        }
    }
    return members;
}

} // namespace

Q_DECLARE_METATYPE(CZoemlijnDBusAdaptor::Offered)

class TestZoemlijnDBus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void send_data();
    void send();
    void textReceived_data();
    void textReceived();
    void sentAndDelivery_data();
    void sentAndDelivery();
    void linkUp_data();
    void linkUp();
    void takenName_data();
    void takenName();
    void nameFreedWithTheService();
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
    QTest::newRow("taken") << "0301111111" << "hallo" << "" << "" << "" << true;
    QTest::newRow("8-bit text as typed") << "0301111111" << "Zoë €5 ½" << "" << "" << "" << true;
    QTest::newRow("19 characters, the most") << "0301111111" << "1234567890123456789" << "" << "" << "" << true;
    QTest::newRow("empty text") << "0301111111" << "" << "" << "" << "" << true;
    QTest::newRow("no number") << "" << "hallo" << "Wel een nummer invullen" << refused << "Wel een nummer invullen"
                               << true;
    QTest::newRow("driver refuses") << "0301111111" << "hallo" << "Connect werkte niet" << refused
                                    << "Connect werkte niet" << true;
    QTest::newRow("window still in its pause")
        << "0301111111" << "hallo" << CZoemlijnService::kRefusedPause << refused << CZoemlijnService::kRefusedPause
        << true;
    QTest::newRow("letters in the number")
        << "03a1" << "hallo" << "" << invalid << "Alleen cijfers in het nummer" << false;
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

void TestZoemlijnDBus::textReceived_data()
{
    // As the window has them: its strings decoded from the network's octets.
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("calledNumber");
    QTest::addColumn<QByteArray>("callType");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QVariantList>("expected");

    const QDateTime winter(QDate(1999, 12, 6), QTime(9, 5, 7), QTimeZone("Europe/Amsterdam"));
    const QDateTime summer(QDate(2024, 7, 1), QTime(12, 0), QTimeZone("Europe/Amsterdam"));
    QTest::newRow("plain") << QByteArray("0302222222") << "Jan" << QByteArray("hallo") << QByteArray("0301111111")
                           << QByteArray("Speech") << winter
                           << QVariantList{"0302222222", "Jan", "hallo", "0301111111", "Speech", 944467507LL};
    QTest::newRow("8-bit text") << QByteArray("0302222222") << "Zoë" << QByteArray("caf\xe9 \x80 5 \xbd \xfc")
                                << QByteArray("0301111111") << QByteArray("Speech") << summer
                                << QVariantList{"0302222222", "Zoë", "café € 5 ½ ü", "0301111111", "Speech",
                                                1719828000LL};
    QTest::newRow("controls and NUL as blanks")
        << QByteArray("030\x1b[2J") << "A\tB" << QByteArray("a\r\nb\0c\x7f", 7) << QByteArray("0301111111")
        << QByteArray("Speech") << winter
        << QVariantList{"030 [2J", "A B", "a  b c ", "0301111111", "Speech", 944467507LL};
    QTest::newRow("octets Windows-1252 leaves undefined")
        << QByteArray("0302222222") << "" << QByteArray("x\x81\x8d\x8f\x90\x9dy") << QByteArray("")
        << QByteArray("") << winter << QVariantList{"0302222222", "", "x     y", "", "", 944467507LL};
}

void TestZoemlijnDBus::textReceived()
{
    QFETCH(QByteArray, number);
    QFETCH(QString, name);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, calledNumber);
    QFETCH(QByteArray, callType);
    QFETCH(QDateTime, time);
    QFETCH(QVariantList, expected);

    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QSignalSpy received(&window, &CZoemlijnProxy::TextReceived);
    RoundTrip();
    m_service->ReportReceived(cp1252::Decode(number), name, cp1252::Decode(text), cp1252::Decode(calledNumber),
                              cp1252::Decode(callType), time);
    QVERIFY(received.wait(5000));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first(), expected);
}

void TestZoemlijnDBus::sentAndDelivery_data()
{
    QTest::addColumn<bool>("delivery"); // else TextSent
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("reason");
    QTest::addColumn<QVariantList>("expected");

    QTest::newRow("sent") << false << QByteArray("hallo") << 0 << QVariantList{"0301111111", "hallo"};
    QTest::newRow("sent, 8-bit") << false << QByteArray("\x80 \xe9\n") << 0
                                 << QVariantList{"0301111111", "€ é "};
    QTest::newRow("delivered") << true << QByteArray("hallo") << 0x349D
                               << QVariantList{"0301111111", "hallo", QVariant::fromValue(ushort(0x349D))};
    QTest::newRow("nobody listens") << true << QByteArray("\xe9t\xe9") << 0x3492
                                    << QVariantList{"0301111111", "été", QVariant::fromValue(ushort(0x3492))};
    QTest::newRow("reason with the top bit") << true << QByteArray("x") << 0xFFFF
                                             << QVariantList{"0301111111", "x", QVariant::fromValue(ushort(0xFFFF))};
}

void TestZoemlijnDBus::sentAndDelivery()
{
    QFETCH(bool, delivery);
    QFETCH(QByteArray, text);
    QFETCH(int, reason);
    QFETCH(QVariantList, expected);

    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QSignalSpy sent(&window, &CZoemlijnProxy::TextSent);
    QSignalSpy delivered(&window, &CZoemlijnProxy::Delivery);
    RoundTrip();
    if (delivery)
        m_service->ReportDelivery("0301111111", cp1252::Decode(text), quint16(reason));
    else
        m_service->ReportSent("0301111111", cp1252::Decode(text));
    QSignalSpy& spy = delivery ? delivered : sent;
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first(), expected);
    QCOMPARE((delivery ? sent : delivered).size(), 0);
}

void TestZoemlijnDBus::linkUp_data()
{
    QTest::addColumn<QList<bool>>("states");   // set one after the other
    QTest::addColumn<QList<bool>>("announced"); // PropertiesChanged, in order
    QTest::addColumn<bool>("value");            // what Get says at the end

    QTest::newRow("down from the start") << QList<bool>{} << QList<bool>{} << false;
    QTest::newRow("comes up") << QList<bool>{true} << QList<bool>{true} << true;
    QTest::newRow("up, then down") << QList<bool>{true, false} << QList<bool>{true, false} << false;
    QTest::newRow("down again says nothing") << QList<bool>{false, false} << QList<bool>{} << false;
    QTest::newRow("up twice, said once") << QList<bool>{true, true} << QList<bool>{true} << true;
    QTest::newRow("down and back") << QList<bool>{true, false, true} << QList<bool>{true, false, true} << true;
}

void TestZoemlijnDBus::linkUp()
{
    QFETCH(QList<bool>, states);
    QFETCH(QList<bool>, announced);
    QFETCH(bool, value);

    CPropertiesProxy properties(kServiceName, kPathName, Client());
    QSignalSpy changed(&properties, &CPropertiesProxy::PropertiesChanged);
    RoundTrip();
    for (bool up : states)
        m_service->SetLinkUp(up);
    // A Get after the changes: its answer comes after every signal.
    QDBusPendingReply<QDBusVariant> get = properties.Get(QString::fromLatin1(kInterface), "LinkUp");
    QVERIFY(Finish(get));
    QVERIFY2(!get.isError(), qPrintable(get.error().message()));
    QCOMPARE(get.value().variant(), QVariant(value));
    QTRY_COMPARE(changed.size(), announced.size());
    for (qsizetype i = 0; i < announced.size(); ++i) {
        const QVariantList& args = changed.at(i);
        QCOMPARE(args.at(0).toString(), QString::fromLatin1(kInterface));
        QCOMPARE(args.at(1).toMap(), (QVariantMap{{"LinkUp", announced[i]}}));
        QCOMPARE(args.at(2).toStringList(), QStringList());
    }
}

void TestZoemlijnDBus::takenName_data()
{
    QTest::addColumn<bool>("ownConnection");
    QTest::addColumn<CZoemlijnDBusAdaptor::Offered>("offered");
    QTest::newRow("a second copy on the same bus") << true << CZoemlijnDBusAdaptor::Offered::NameTaken;
    QTest::newRow("a second object on the first one's connection") << false << CZoemlijnDBusAdaptor::Offered::Failed;
}

void TestZoemlijnDBus::takenName()
{
    QFETCH(bool, ownConnection);
    QFETCH(CZoemlijnDBusAdaptor::Offered, offered);

    const QDBusConnection secondBus = ownConnection
                                          ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, "second")
                                          : QDBusConnection::sessionBus();
    FakeWindow secondWindow;
    {
        CZoemlijnService second(secondWindow.Sender());
        QCOMPARE(CZoemlijnDBusAdaptor::Offer(second, secondBus), offered);
        // Nothing of it on the bus: its own connection shows no object.
        if (ownConnection) {
            QDBusMessage introspect = QDBusMessage::createMethodCall(
                secondBus.baseService(), kPathName, "org.freedesktop.DBus.Introspectable", "Introspect");
            QDBusPendingCall call = Client().asyncCall(introspect);
            QVERIFY(Finish(call));
            QVERIFY(!QDBusPendingReply<QString>(call).value().contains(QString::fromLatin1(kInterface)));
        }
    }
    // The first one still answers, under the name and at the path.
    CZoemlijnProxy window(kServiceName, kPathName, Client());
    QDBusPendingReply<> reply = window.Send("0301111111", "hallo");
    QVERIFY(Finish(reply));
    QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    QCOMPARE(m_window.sends.size(), 1);
    QCOMPARE(secondWindow.sends.size(), 0);
    QCOMPARE(Client().interface()->serviceOwner(kServiceName).value(), QDBusConnection::sessionBus().baseService());
}

void TestZoemlijnDBus::nameFreedWithTheService()
{
    // The window's end gives the name back, so the next copy gets it.
    m_service.reset();
    QVERIFY(!Client().interface()->isServiceRegistered(kServiceName).value());
    FakeWindow next;
    CZoemlijnService service(next.Sender());
    const QDBusConnection nextBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "next");
    QCOMPARE(CZoemlijnDBusAdaptor::Offer(service, nextBus), CZoemlijnDBusAdaptor::Offered::Yes);
    QCOMPARE(Client().interface()->serviceOwner(kServiceName).value(), nextBus.baseService());
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
    QTest::newRow("a bus that is gone") << false << "unix:path=/nonexistent/bus" << QByteArray("NoBus")
                                        << QByteArray();
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
    const QStringList described = Members(QString::fromUtf8(file.readAll()), QString::fromLatin1(kInterface));

    QDBusMessage introspect =
        QDBusMessage::createMethodCall(kServiceName, kPathName, "org.freedesktop.DBus.Introspectable", "Introspect");
    QDBusPendingReply<QString> reply = Client().asyncCall(introspect);
    QVERIFY(Finish(reply));
    QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    const QString xml = reply.value();

    // The bus shows what the interface file says, member for member.
    QCOMPARE(Members(xml, QString::fromLatin1(kInterface)), described);
    QCOMPARE(described, (QStringList{
                            "method Send(in s number, in s text)",
                            "signal TextReceived(s number, s name, s text, s calledNumber, s callType, x unixTime)",
                            "signal TextSent(s number, s text)",
                            "signal Delivery(s number, s text, q reason)",
                            "property LinkUp b read",
                            "annotation org.freedesktop.DBus.Property.EmitsChangedSignal=true",
                        }));
    // And the standard interfaces a client needs beside it.
    QVERIFY(xml.contains("<interface name=\"org.freedesktop.DBus.Properties\">"));
    QVERIFY(xml.contains("<interface name=\"org.freedesktop.DBus.Introspectable\">"));
}

QTEST_MAIN(TestZoemlijnDBus)
#include "TestZoemlijnDBus.moc"
