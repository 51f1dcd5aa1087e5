// zoemlijn-cli: send and receive texts, and show the driver's identity, over
// the same CAPI link as the window.
#include "CapiDefs.h"
#include "CapiLink.h"
#include "CliPhoneBook.h"
#include "Cp1252.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

constexpr int kMaxTextLength = 19; // what the window's text field holds
constexpr uint16_t kCipUnrestrictedDigital = 2;
constexpr int kClearWaitMs = 3000;

const char kUsage[] =
    "Gebruik: zoemlijn-cli [--verbose] send NUMMER TEKST [--timeout SECONDEN]\n"
    "         zoemlijn-cli [--verbose] listen [--count N]\n"
    "         zoemlijn-cli info\n"
    "\n"
    "  send    belt NUMMER met TEKST (hoogstens 19 tekens) in het subadres en meldt\n"
    "          hoe het net de oproep beëindigde\n"
    "  listen  toont elke ontvangen tekst als een regel: beller, eigen nummer, soort\n"
    "          oproep, tekst (tot Ctrl+C, of na N teksten); valt de verbinding met\n"
    "          CAPI weg, dan meldt het dat en verbindt het opnieuw\n"
    "  info    toont fabrikant, serienummer, versie en profiel van de CAPI-driver\n"
    "\n"
    "De CAPI-driver leest ~/.capi20rc (bijvoorbeeld: REMOTE rcapi 127.0.0.1 52001).\n";

void Print(FILE* stream, const QString& line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}

QString FromBytes(const std::string& bytes)
{
    return cp1252::ForDisplay(cp1252::Decode(QByteArray::fromStdString(bytes)));
}

int Usage(const QString& problem)
{
    if (!problem.isEmpty())
        Print(stderr, "zoemlijn-cli: " + problem);
    std::fputs(kUsage, stderr);
    return ExitUsage;
}

// Hands the receive thread's notifications to the event loop.
class CliOwner final : public QObject, public ICapiOwner
{
public:
    std::function<void(CCapiLink&, unsigned)> handler;

    void OnCapiNotify(CCapiLink& link, unsigned code) override
    {
        if (handler)
            handler(link, code);
    }
    void PostToOwner(std::function<void()> task) override
    {
        QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
    }
};

// Ctrl+C and SIGTERM end `listen` through the event loop, so the link is
// stopped and released properly.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

void QuitOnSignals(QCoreApplication& app)
{
    if (pipe(g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool StartLink(CCapiLink& link, CliOwner& owner, bool verbose)
{
    if (verbose)
        link.SetLogObserver([](const std::string& line) { Print(stderr, "capi: " + FromBytes(line)); });
    if (!link.LoadCAPIDll())
        return false;
    link.SetCAPIOwner(&owner);
    if (!link.RegisterCAPIAppl()) {
        Print(stderr, "zoemlijn-cli: aanmelden bij CAPI mislukt: " + FromBytes(link.LogLine()));
        return false;
    }
    if (!link.StartCAPIThread()) {
        Print(stderr, "zoemlijn-cli: Kan de Thread niet starten");
        link.ReleaseCAPIAppl();
        return false;
    }
    return true;
}

void StopLink(CCapiLink& link)
{
    link.StopCAPIThread();
    link.ReleaseCAPIAppl();
}

// How the network cleared a call, in words, and whether the text got there.
struct Outcome
{
    QString text;
    bool delivered;
};

Outcome DescribeReason(uint16_t reason, bool answered)
{
    const QString code = QString("0x%1").arg(reason, 4, 16, QChar('0')).toUpper().replace("0X", "0x");
    switch (reason) {
    case capi::ReasonFacilityRejected:
        return {"afgeleverd: de ontvanger weigerde de oproep (" + code + ", facility rejected)", true};
    case capi::ReasonUnallocatedNumber:
        return {"niet afgeleverd: dit nummer bestaat niet (" + code + ")", false};
    case capi::ReasonNoUserResponding:
        return {"niet afgeleverd: niemand luistert op dit nummer (" + code + ")", false};
    case capi::ReasonUserBusy:
        return {"niet afgeleverd: in gesprek (" + code + ")", false};
    default:
        break;
    }
    if (answered)
        return {"de oproep werd beantwoord en beëindigd (" + code + ")", true};
    const QString what = QString::fromLatin1(capi::InfoText(reason).data(), qsizetype(capi::InfoText(reason).size()));
    return {"niet afgeleverd: oproep beëindigd (" + code + (what.isEmpty() ? "" : ", " + what) + ")", false};
}

int Send(QCoreApplication& app, const QStringList& args, bool verbose)
{
    int timeoutSeconds = 15;
    QStringList rest;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--timeout" && i + 1 < args.size()) {
            bool ok = false;
            timeoutSeconds = args[++i].toInt(&ok);
            if (!ok || timeoutSeconds <= 0)
                return Usage("ongeldige --timeout: " + args[i]);
        } else {
            rest << args[i];
        }
    }
    if (rest.size() != 2)
        return Usage("send verwacht een NUMMER en een TEKST");
    const QString number = rest[0];
    static const QRegularExpression digits("^[0-9*#]{1,55}$");
    if (!digits.match(number).hasMatch())
        return Usage("ongeldig nummer: " + number + " (alleen cijfers, * en #)");
    const QByteArray text = cp1252::Encode(rest[1]);
    if (text.size() > kMaxTextLength)
        return Usage(QString("tekst te lang: %1 tekens, hoogstens %2").arg(text.size()).arg(kMaxTextLength));

    CCapiLink link;
    CliOwner owner;
    if (!StartLink(link, owner, verbose))
        return ExitFailed;

    int exitCode = ExitFailed;
    bool answered = false;
    owner.handler = [&](CCapiLink& l, unsigned code) {
        if (code == NC_CALL_CLEARED) {
            const Outcome outcome = DescribeReason(l.LastDisconnectReason(), answered);
            Print(stdout, "Verz: " + cp1252::ForDisplay(cp1252::Decode(text)) + " naar " + number + ": " + outcome.text);
            exitCode = outcome.delivered ? ExitOk : ExitFailed;
            app.quit();
        } else if (code == NC_MESSAGE) {
            const std::string line = l.LogLine();
            if (line.rfind("ISDN connection established.", 0) == 0)
                answered = true;
            if (line.rfind("CONNECT_CONF NOK", 0) == 0) {
                Print(stderr, "zoemlijn-cli: het net nam de oproep niet aan: " + FromBytes(line));
                app.quit();
            }
        } else if (code == NC_LINK_STATE && l.IsLinkDown()) {
            // The call went with the connection.
            Print(stderr, "zoemlijn-cli: verbinding met CAPI verbroken");
            app.quit();
        }
    };
    if (!link.ConnectCAPICall(number.toStdString(), text.toStdString(), kCipUnrestrictedDigital)) {
        Print(stderr, "zoemlijn-cli: Connect werkte niet: " + FromBytes(link.LogLine()));
        StopLink(link);
        return ExitFailed;
    }
    QTimer::singleShot(timeoutSeconds * 1000, &app, [&] {
        Print(stderr, QString("zoemlijn-cli: geen antwoord van het net binnen %1 s").arg(timeoutSeconds));
        app.quit();
    });
    app.exec();
    owner.handler = nullptr;
    StopLink(link);
    return exitCode;
}

int Listen(QCoreApplication& app, const QStringList& args, bool verbose)
{
    int count = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--count" && i + 1 < args.size()) {
            bool ok = false;
            count = args[++i].toInt(&ok);
            if (!ok || count <= 0)
                return Usage("ongeldige --count: " + args[i]);
        } else {
            return Usage("onbekend argument voor listen: " + args[i]);
        }
    }

    CCapiLink link;
    CliOwner owner;
    QuitOnSignals(app);
    if (!StartLink(link, owner, verbose))
        return ExitFailed;

    int received = 0;
    owner.handler = [&](CCapiLink& l, unsigned code) {
        if (code == NC_CALL_INFO) {
            // Caller, own number, call type, text: one line, tab-separated.
            Print(stdout, FromBytes(l.CallingNumber()) + '\t' + FromBytes(l.CalledNumber()) + '\t' +
                              FromBytes(l.CallType()) + '\t' + FromBytes(l.CallText()));
            if (count > 0 && ++received >= count) {
                // Leave once the network has cleared this last call too.
                QTimer::singleShot(kClearWaitMs, &app, &QCoreApplication::quit);
            }
        } else if (code == NC_CALL_CLEARED && count > 0 && received >= count) {
            app.quit();
        } else if (code == NC_LINK_STATE) {
            // The link registers and listens again by itself; say so.
            Print(stderr, l.IsLinkDown() ? "zoemlijn-cli: verbinding met CAPI verbroken, opnieuw verbinden..."
                                         : "zoemlijn-cli: verbinding met CAPI hersteld, wacht op teksten");
        }
    };
    if (!link.ListenCAPIAppl()) {
        Print(stderr, "zoemlijn-cli: De Listen state is niet gelukt: " + FromBytes(link.LogLine()));
        owner.handler = nullptr;
        StopLink(link);
        return ExitFailed;
    }
    Print(stderr, "zoemlijn-cli: wacht op teksten (Ctrl+C stopt)");
    app.exec();
    owner.handler = nullptr;
    StopLink(link);
    return ExitOk;
}

int Info(const QStringList& args)
{
    if (!args.isEmpty())
        return Usage("info verwacht geen argumenten");
    CCapiLink link;
    if (!link.LoadCAPIDll())
        return ExitFailed;
    std::string manufacturer, serial, version, l1, l2, l3;
    link.GetCAPIManufacturer(manufacturer);
    const bool serialOk = link.GetCAPISerialNumber(serial);
    const bool versionOk = link.GetCAPIVersion(version);
    const bool profileOk = link.GetCAPIProfile(l1, l2, l3);
    Print(stdout, FromBytes(manufacturer));
    Print(stdout, FromBytes(serial));
    Print(stdout, FromBytes(version));
    if (profileOk) {
        Print(stdout, FromBytes(l1));
        Print(stdout, FromBytes(l2));
        Print(stdout, FromBytes(l3));
    } else {
        Print(stdout, FromBytes(link.LogLine()));
    }
    return serialOk && versionOk && profileOk ? ExitOk : ExitFailed;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool verbose = (args.removeAll("--verbose") + args.removeAll("-v")) > 0;
    if (args.removeAll("--help") > 0 || args.removeAll("-h") > 0) {
        std::fputs(kUsage, stdout);
        return ExitOk;
    }
    if (args.isEmpty())
        return Usage(QString());
    const QString command = args.takeFirst();
    if (command == "send")
        return Send(app, args, verbose);
    if (command == "listen")
        return Listen(app, args, verbose);
    if (command == "info")
        return Info(args);
    if (command == "telefoonboek")
        return PhoneBookCommand(args);
    return Usage("onbekende opdracht: " + command);
}
