// Desktop notifications over D-Bus, against a notification service of the
// test's own on a private bus: whether one is there, what it is asked to
// show, and which of its signals count as a click.
#include "DesktopNotifications.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";

// No service directories: nothing can be started on demand.
const char kBusConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig><type>session</type><listen>unix:tmpdir=%1</listen>\n"
    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";

} // namespace

// What a desktop's notification daemon offers, as far as the program uses it.
class FakeNotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList capabilities;
    struct Call
    {
        QString appName, appIcon, summary, body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
    };
    QList<Call> calls;

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& appName, uint, const QString& appIcon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int expireTimeout)
    {
        calls.append({appName, appIcon, summary, body, actions, hints, expireTimeout});
        return uint(calls.size() + 40);
    }

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);
};

class TestDesktopNotifications : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void withoutService_data();
    void withoutService();
    void shownAndClicked_data();
    void shownAndClicked();
    void serviceComesAndGoes();

private:
    bool Offer(const QStringList& capabilities);

    QTemporaryDir m_dir;
    QProcess m_bus;
    QString m_address;
    std::unique_ptr<FakeNotificationService> m_service;
    int m_connections = 0;
    QString m_clientName, m_serviceName;
};

void TestDesktopNotifications::initTestCase()
{
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString::fromLatin1(kBusConfig).arg(m_dir.path()).toUtf8());
    config.close();
    m_bus.start("dbus-daemon", {"--config-file=" + config.fileName(), "--print-address=1", "--nofork"});
    if (!m_bus.waitForStarted(5000))
        QSKIP("no dbus-daemon");
    QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 5000);
    m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    QVERIFY(!m_address.isEmpty());
}

void TestDesktopNotifications::cleanupTestCase()
{
    m_bus.terminate();
    m_bus.waitForFinished(3000);
}

void TestDesktopNotifications::init()
{
    // Fresh connections for every test: what one test registered or asked
    // for does not carry over.
    ++m_connections;
    m_clientName = QStringLiteral("client%1").arg(m_connections);
    m_serviceName = QStringLiteral("service%1").arg(m_connections);
    QVERIFY(QDBusConnection::connectToBus(m_address, m_clientName).isConnected());
    QVERIFY(QDBusConnection::connectToBus(m_address, m_serviceName).isConnected());
    m_service = std::make_unique<FakeNotificationService>();
}

void TestDesktopNotifications::cleanup()
{
    // Given up before the next test asks for it; a closed connection's name
    // is let go of in the bus's own time.
    QDBusConnection(m_serviceName).unregisterService(QString::fromLatin1(kService));
    QDBusConnection::disconnectFromBus(m_clientName);
    QDBusConnection::disconnectFromBus(m_serviceName);
    m_service.reset();
}

bool TestDesktopNotifications::Offer(const QStringList& capabilities)
{
    m_service->capabilities = capabilities;
    QDBusConnection service(m_serviceName);
    return service.registerObject(QString::fromLatin1(kPath), m_service.get(),
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
           service.registerService(QString::fromLatin1(kService));
}

void TestDesktopNotifications::withoutService_data()
{
    QTest::addColumn<bool>("bus");
    QTest::newRow("no service on the bus") << true;
    QTest::newRow("no bus") << false;
}

void TestDesktopNotifications::withoutService()
{
    QFETCH(bool, bus);
    CDesktopNotifications notifications{QDBusConnection(bus ? m_clientName : QStringLiteral("not connected"))};
    QVERIFY(!notifications.IsAvailable());
    QTest::qWait(200); // the bus has answered by now
    QVERIFY(!notifications.IsAvailable());
    QObject context;
    bool failed = false, activated = false;
    notifications.Show("Jan", "hoi", &context, [&] { activated = true; }, [&] { failed = true; });
    QTRY_VERIFY_WITH_TIMEOUT(failed, 5000);
    QVERIFY(!activated);
}

void TestDesktopNotifications::shownAndClicked_data()
{
    QTest::addColumn<QStringList>("capabilities");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("sentBody");
    QTest::addColumn<QString>("signal"); // "action KEY" or "closed REASON"
    QTest::addColumn<bool>("activated");
    const QStringList both{"actions", "body", "body-markup"};
    const QStringList plain{"body"};
    QTest::newRow("the default action") << both << "hoi" << "hoi" << "action default" << true;
    QTest::newRow("another action") << both << "hoi" << "hoi" << "action weg" << false;
    QTest::newRow("markup is escaped where it is read")
        << both << "<b>hoi</b> & \"€\"" << "&lt;b&gt;hoi&lt;/b&gt; &amp; &quot;€&quot;" << "action default" << true;
    QTest::newRow("sent as it is where it is not") << plain << "<b>hoi</b> & €" << "<b>hoi</b> & €"
                                                   << "closed 2" << true;
    QTest::newRow("without actions a click closes it") << plain << "hoi" << "hoi" << "closed 2" << true;
    QTest::newRow("with actions, dismissed is no click") << both << "hoi" << "hoi" << "closed 2" << false;
    QTest::newRow("expired is no click") << plain << "hoi" << "hoi" << "closed 1" << false;
}

void TestDesktopNotifications::shownAndClicked()
{
    QFETCH(QStringList, capabilities);
    QFETCH(QString, body);
    QFETCH(QString, sentBody);
    QFETCH(QString, signal);
    QFETCH(bool, activated);
    QVERIFY(Offer(capabilities));
    CDesktopNotifications notifications{QDBusConnection(m_clientName)};
    QTRY_VERIFY_WITH_TIMEOUT(notifications.IsAvailable(), 5000);
    QTest::qWait(100); // the capabilities are in

    QObject context;
    bool failed = false;
    int clicked = 0;
    notifications.Show("Jan de Vries", body, &context, [&] { ++clicked; }, [&] { failed = true; });
    QTRY_COMPARE_WITH_TIMEOUT(m_service->calls.size(), 1, 5000);
    const FakeNotificationService::Call call = m_service->calls[0];
    QCOMPARE(call.appIcon, QString("zoemlijn"));
    QCOMPARE(call.hints.value("desktop-entry").toString(), QString("zoemlijn"));
    QCOMPARE(call.summary, QString("Jan de Vries"));
    QCOMPARE(call.body, sentBody);
    QCOMPARE(call.actions.value(0), QString("default"));
    QCOMPARE(call.expireTimeout, -1);
    QTRY_COMPARE_WITH_TIMEOUT(notifications.Open(), 1, 5000);

    // Another notification's signals do not count for this one.
    emit m_service->ActionInvoked(7, "default");
    emit m_service->NotificationClosed(7, 2);
    const QStringList words = signal.split(u' ');
    if (words[0] == "action")
        emit m_service->ActionInvoked(41, words[1]);
    else
        emit m_service->NotificationClosed(41, words[1].toUInt());
    // A notification clicked or closed is done with: a later click does
    // nothing.
    if (activated || words[0] == "closed")
        emit m_service->ActionInvoked(41, "default");
    QTest::qWait(200);
    QCOMPARE(clicked, activated ? 1 : 0);
    QVERIFY(!failed);
}

void TestDesktopNotifications::serviceComesAndGoes()
{
    CDesktopNotifications notifications{QDBusConnection(m_clientName)};
    QVERIFY(!notifications.IsAvailable());
    QVERIFY(Offer({"actions"}));
    QTRY_VERIFY_WITH_TIMEOUT(notifications.IsAvailable(), 5000);
    auto* context = new QObject;
    bool clicked = false;
    notifications.Show("0301", "hoi", context, [&] { clicked = true; }, {});
    QTRY_COMPARE_WITH_TIMEOUT(notifications.Open(), 1, 5000);
    // The one that asked is gone: a click does nothing.
    delete context;
    emit m_service->ActionInvoked(41, "default");
    QTest::qWait(100);
    QVERIFY(!clicked);

    QVERIFY(QDBusConnection(m_serviceName).unregisterService(QString::fromLatin1(kService)));
    QTRY_VERIFY_WITH_TIMEOUT(!notifications.IsAvailable(), 5000);
}

QTEST_GUILESS_MAIN(TestDesktopNotifications)
#include "TestDesktopNotifications.moc"
