// What the D-Bus service costs the window's thread for each received text:
// the report with no bus, offered with nobody listening, and offered with a
// listener (as zoemlijn-cli watch is) on a private bus; and a Send's round
// trip from another connection, the window's own work included.
//
//   dbus_service_bench [--texts N]
#include "ZoemlijnBus.h"
#include "ZoemlijnDBusAdaptor.h"
#include "ZoemlijnProxy.h"
#include "ZoemlijnService.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())))];
}

void Print(const char* what, const std::vector<double>& us)
{
    std::printf("  %-44s n %5zu  p50 %7.1f  p90 %7.1f  p99 %7.1f us\n", what, us.size(), Percentile(us, 50),
                Percentile(us, 90), Percentile(us, 99));
}

// ReportReceived as the window makes it, timed one by one; the event loop
// runs between texts so that what was queued goes out.
std::vector<double> Reports(CZoemlijnService& service, int texts)
{
    std::vector<double> us;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < texts; ++i) {
        QElapsedTimer timer;
        timer.start();
        service.ReportReceived(QStringLiteral("0302222222"), QStringLiteral("Jan de Vries"),
                               QStringLiteral("tekst %1 ëé€").arg(i), QStringLiteral("0301111111"),
                               QStringLiteral("Unrestricted digital information"), now);
        us.push_back(double(timer.nsecsElapsed()) / 1000.0);
        QCoreApplication::processEvents();
    }
    return us;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int texts = 2000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--texts") && i + 1 < argc) {
            texts = std::max(10, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: dbus_service_bench [--texts N]\n");
            return 2;
        }
    }
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--print-address=1"), QStringLiteral("--nofork")});
    if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000)) {
        std::printf("no dbus-daemon, not measured\n");
        return 1;
    }
    const QString address = QString::fromUtf8(daemon.readLine().trimmed());
    std::printf("a received text on the window's thread, %d texts:\n", texts);

    int received = 0;
    CZoemlijnService service([](const QString&, const QString&) { return std::nullopt; });
    Print("no bus", Reports(service, texts));

    const QDBusConnection window = QDBusConnection::connectToBus(address, QStringLiteral("window"));
    if (CZoemlijnDBusAdaptor::Offer(service, window) != CZoemlijnDBusAdaptor::Offered::Yes) {
        std::printf("could not offer the service\n");
        return 1;
    }
    Print("offered, nobody listening", Reports(service, texts));

    const QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("listener"));
    CZoemlijnProxy listener(QString::fromLatin1(zoemlijnbus::kService), QString::fromLatin1(zoemlijnbus::kPath), other);
    QObject::connect(&listener, &CZoemlijnProxy::TextReceived, &app, [&] { ++received; });
    // A round trip to the bus: the listener's match rule is in force.
    other.interface()->isServiceRegistered(QString::fromLatin1(zoemlijnbus::kService));
    Print("offered, one listener", Reports(service, texts));
    QElapsedTimer drain;
    drain.start();
    while (received < texts && drain.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("  the listener heard %d of %d\n", received, texts);

    std::vector<double> sends;
    for (int i = 0; i < texts / 4; ++i) {
        QElapsedTimer timer;
        timer.start();
        QDBusPendingCallWatcher call(listener.Send(QStringLiteral("0301111111"), QStringLiteral("hallo")));
        // The window's side answers from this thread's event loop.
        while (!call.isFinished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        sends.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::printf("\nSend from another connection to its reply:\n");
    Print("round trip", sends);

    QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
    QDBusConnection::disconnectFromBus(QStringLiteral("window"));
    daemon.terminate();
    daemon.waitForFinished(3000);
    return 0;
}
