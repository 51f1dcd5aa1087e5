// zoemlijn-cli: send and receive texts, and show the driver's identity, over
// the same CAPI link as the window.
#include "CapiDefs.h"
#include "CapiLink.h"
#include "CliOutput.h"
#include "CliPhoneBook.h"
#include "CliWindow.h"
#include "Cp1252.h"
#include "DisconnectReasons.h"
#include "DriverCall.h"
#include "DriverCallWatch.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <unistd.h>

namespace {

constexpr int kMaxTextLength = 19; // what the window's text field holds
constexpr uint16_t kCipUnrestrictedDigital = 2;
constexpr int kClearWaitMs = 3000;
constexpr int kCallWaitSeconds = 15; // send's wait for the network, without --timeout
// Seconds beyond this do not fit an int of milliseconds.
constexpr qlonglong kMaxTimeoutSeconds = std::numeric_limits<int>::max() / 1000;

const char kUsage[] =
    "Gebruik: zoemlijn-cli [--verbose] send NUMMER TEKST [--timeout SECONDEN]\n"
    "         zoemlijn-cli send --window NUMMER TEKST [--timeout SECONDEN]\n"
    "         zoemlijn-cli [--verbose] listen [--count N] [--timeout SECONDEN]\n"
    "         zoemlijn-cli watch [--count N]\n"
    "         zoemlijn-cli [--verbose] info [--timeout SECONDEN]\n"
    "         zoemlijn-cli telefoonboek import|export BESTAND [--file TELEFOONBOEK]\n"
    "\n"
    "  send    belt NUMMER met TEKST (hoogstens 19 tekens) in het subadres en meldt\n"
    "          hoe het net de oproep beëindigde\n"
    "  send --window  verstuurt via het draaiende Zoemlijn-venster (over D-Bus), met\n"
    "          dezelfde stappen en pauze als de knop Verzenden daar; weigert het\n"
    "          venster, dan toont het waarom\n"
    "  listen  toont elke ontvangen tekst als een regel: beller, eigen nummer, soort\n"
    "          oproep, tekst (tot Ctrl+C, of na N teksten); valt de verbinding met\n"
    "          CAPI weg, dan meldt het dat en verbindt het opnieuw\n"
    "  watch   toont elke tekst die het draaiende Zoemlijn-venster ontvangt, als listen\n"
    "          (tot Ctrl+C, of na N teksten)\n"
    "  info    toont fabrikant, serienummer, versie en profiel van de CAPI-driver\n"
    "  telefoonboek import|export  leest een adresboek (.vcf, .csv) in het telefoonboek\n"
    "          of schrijft het telefoonboek als adresboek\n"
    "\n"
    "  --timeout SECONDEN  zo lang wacht het hoogstens op de CAPI-driver (aanmelden,\n"
    "          Listen, elke opvraging) en bij send op het net; zonder: 5 s voor het\n"
    "          aanmelden, 3 s voor de Listen en elke opvraging, 15 s voor het net;\n"
    "          bij send --window op het antwoord van het venster en op het net\n"
    "  --      wat volgt is geen optie, zoals een TEKST die met - begint: send 200 -- -v\n"
    "\n"
    "Ctrl+C of SIGTERM stopt elke opdracht; een aangemelde applicatie wordt eerst\n"
    "afgemeld.\n"
    "De CAPI-driver leest ~/.capi20rc (bijvoorbeeld: REMOTE rcapi 127.0.0.1 52001).\n";

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

struct Options
{
    bool verbose = false;
    int timeoutSeconds = 0; // 0: the link's own bounds, and kCallWaitSeconds
    int count = 0;          // 0: no --count
    bool window = false;    // send through the running window
    QStringList operands;   // the command first
};

// Options may stand anywhere before "--"; everything after it is an operand,
// so that a text such as "-v" can be sent. Returns an exit code when there is
// nothing to run, else -1.
int Parse(const QStringList& args, Options& options)
{
    bool optionsEnd = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnd || arg.size() < 2 || !arg.startsWith('-')) {
            options.operands << arg;
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--window") {
            options.window = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return ExitOk;
        } else if (arg == "--timeout" || arg == "--count") {
            if (i + 1 >= args.size())
                return Usage(arg + " zonder waarde");
            const QString& value = args[++i];
            bool ok = false;
            const qlonglong n = value.toLongLong(&ok);
            if (arg == "--timeout") {
                if (!ok || n <= 0 || n > kMaxTimeoutSeconds)
                    return Usage(QString("ongeldige --timeout: %1 (1 tot en met %2 seconden)").arg(value).arg(kMaxTimeoutSeconds));
                options.timeoutSeconds = int(n);
            } else {
                if (!ok || n <= 0 || n > std::numeric_limits<int>::max())
                    return Usage("ongeldige --count: " + value);
                options.count = int(n);
            }
        } else {
            return Usage("onbekende optie: " + arg + " (een TEKST die met - begint, staat na --)");
        }
    }
    return -1;
}

// --timeout bounds every wait on the driver: registration, listen, queries.
void ApplyTimeout(CCapiLink& link, const Options& options)
{
    if (options.timeoutSeconds <= 0)
        return;
    CCapiLink::Bounds bounds = link.GetBounds();
    bounds.registerMs = bounds.listenMs = bounds.queryMs = options.timeoutSeconds * 1000;
    link.SetBounds(bounds);
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

// Ctrl+C and SIGTERM end every command through the event loop, so that a
// registered application is stopped and released properly, and a wait for
// the driver ends at once.
volatile std::sig_atomic_t g_interrupted = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    g_interrupted = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

void QuitOnSignals(QCoreApplication& app)
{
    if (pipe(g_signalPipe) != 0)
        return;
    // Never read back: every later run of the event loop ends at once too.
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool Interrupted() { return g_interrupted != 0; }

// Runs the event loop until the driver has answered `call` or its bound has
// passed (true), or a signal came (false; the call is then given up, and a
// registration it makes later is released by the call's own thread).
bool Await(QCoreApplication& app, const std::shared_ptr<CDriverCall>& call)
{
    bool settled = false;
    {
        QObject waiting; // its end gives the call up
        if (!Interrupted()) {
            AfterAnswer(&waiting, call, 0, [&] {
                settled = true;
                app.quit();
            });
            if (!settled)
                app.exec();
        }
    }
    return settled;
}

enum class Started { Ok, Failed, Interrupted };

Started StartLink(QCoreApplication& app, CCapiLink& link, CliOwner& owner, const Options& options)
{
    if (options.verbose)
        link.SetLogObserver([](const std::string& line) { Print(stderr, "capi: " + FromBytes(line)); });
    ApplyTimeout(link, options);
    if (!link.LoadCAPIDll())
        return Started::Failed;
    link.SetCAPIOwner(&owner);
    const auto registration = link.BeginRegister();
    if (!Await(app, registration))
        return Started::Interrupted;
    if (!link.EndRegister(*registration)) {
        Print(stderr, "zoemlijn-cli: aanmelden bij CAPI mislukt: " + FromBytes(link.LogLine()));
        return Started::Failed;
    }
    if (!link.StartCAPIThread()) {
        Print(stderr, "zoemlijn-cli: Kan de Thread niet starten");
        link.ReleaseCAPIAppl();
        return Started::Failed;
    }
    return Started::Ok;
}

void StopLink(CCapiLink& link)
{
    link.StopCAPIThread();
    link.ReleaseCAPIAppl();
}

void SayInterrupted() { Print(stderr, "zoemlijn-cli: onderbroken"); }

// How the network cleared a call, in words, and whether the text got there.
struct Outcome
{
    QString text;
    bool delivered;
};

Outcome DescribeReason(uint16_t reason, bool answered)
{
    const QString code = QString("0x%1").arg(reason, 4, 16, QChar('0')).toUpper().replace("0X", "0x");
    const capi::DisconnectReasonRow* row = capi::FindDisconnectReason(reason);
    if (row && row->cliWords) {
        const QString note = row->cliNote ? ", " + QString::fromLatin1(row->cliNote) : QString();
        return {QString::fromLatin1(row->cliWords) + " (" + code + note + ")", row->delivered};
    }
    if (answered)
        return {"de oproep werd beantwoord en beëindigd (" + code + ")", true};
    const QString what = QString::fromLatin1(capi::InfoText(reason).data(), qsizetype(capi::InfoText(reason).size()));
    return {"niet afgeleverd: oproep beëindigd (" + code + (what.isEmpty() ? "" : ", " + what) + ")", false};
}

// send's NUMMER and TEKST; an exit code when they will not do, else -1.
int CheckSendOperands(const Options& options)
{
    const QStringList& rest = options.operands;
    if (rest.size() != 2)
        return Usage("send verwacht een NUMMER en een TEKST");
    static const QRegularExpression digits("^[0-9*#]{1,55}$");
    if (!digits.match(rest[0]).hasMatch())
        return Usage("ongeldig nummer: " + rest[0] + " (alleen cijfers, * en #)");
    const QByteArray text = cp1252::Encode(rest[1]);
    if (text.size() > kMaxTextLength)
        return Usage(QString("tekst te lang: %1 tekens, hoogstens %2").arg(text.size()).arg(kMaxTextLength));
    return -1;
}

int Send(QCoreApplication& app, const Options& options)
{
    if (const int bad = CheckSendOperands(options); bad >= 0)
        return bad;
    const QString number = options.operands[0];
    const QByteArray text = cp1252::Encode(options.operands[1]);

    CCapiLink link;
    CliOwner owner;
    switch (StartLink(app, link, owner, options)) {
    case Started::Ok:
        break;
    case Started::Failed:
        return ExitFailed;
    case Started::Interrupted:
        SayInterrupted();
        return ExitFailed;
    }

    int exitCode = ExitFailed;
    bool answered = false;
    bool ended = false; // the network or the driver settled it
    owner.handler = [&](CCapiLink& l, unsigned code) {
        if (code == NC_CALL_CLEARED) {
            const Outcome outcome = DescribeReason(l.LastDisconnectReason(), answered);
            Print(stdout, "Verz: " + cp1252::ForDisplay(cp1252::Decode(text)) + " naar " + number + ": " + outcome.text);
            exitCode = outcome.delivered ? ExitOk : ExitFailed;
            ended = true;
            app.quit();
        } else if (code == NC_MESSAGE) {
            const std::string line = l.LogLine();
            if (line.rfind("ISDN connection established.", 0) == 0)
                answered = true;
            if (line.rfind("CONNECT_CONF NOK", 0) == 0) {
                Print(stderr, "zoemlijn-cli: het net nam de oproep niet aan: " + FromBytes(line));
                ended = true;
                app.quit();
            }
        } else if (code == NC_LINK_STATE && l.IsLinkDown()) {
            // The call went with the connection.
            Print(stderr, "zoemlijn-cli: verbinding met CAPI verbroken");
            ended = true;
            app.quit();
        }
    };
    if (!link.ConnectCAPICall(number.toStdString(), text.toStdString(), kCipUnrestrictedDigital)) {
        Print(stderr, "zoemlijn-cli: Connect werkte niet: " + FromBytes(link.LogLine()));
        owner.handler = nullptr;
        StopLink(link);
        return ExitFailed;
    }
    const int waitSeconds = options.timeoutSeconds > 0 ? options.timeoutSeconds : kCallWaitSeconds;
    QTimer::singleShot(waitSeconds * 1000, &app, [&] {
        Print(stderr, QString("zoemlijn-cli: geen antwoord van het net binnen %1 s").arg(waitSeconds));
        ended = true;
        app.quit();
    });
    if (!Interrupted())
        app.exec();
    owner.handler = nullptr;
    if (!ended)
        SayInterrupted();
    StopLink(link);
    return exitCode;
}

int Listen(QCoreApplication& app, const Options& options)
{
    if (!options.operands.isEmpty())
        return Usage("onbekend argument voor listen: " + options.operands.first());
    const int count = options.count;

    CCapiLink link;
    CliOwner owner;
    switch (StartLink(app, link, owner, options)) {
    case Started::Ok:
        break;
    case Started::Failed:
        return ExitFailed;
    case Started::Interrupted:
        // Stopping is how listen ends; nothing was registered to release.
        SayInterrupted();
        return ExitOk;
    }

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
    const auto listen = link.BeginListen();
    if (!Await(app, listen)) {
        owner.handler = nullptr;
        SayInterrupted();
        StopLink(link);
        return ExitOk;
    }
    if (!link.EndListen(*listen)) {
        Print(stderr, "zoemlijn-cli: De Listen state is niet gelukt: " + FromBytes(link.LogLine()));
        owner.handler = nullptr;
        StopLink(link);
        return ExitFailed;
    }
    Print(stderr, "zoemlijn-cli: wacht op teksten (Ctrl+C stopt)");
    if (!Interrupted())
        app.exec();
    owner.handler = nullptr;
    StopLink(link);
    return ExitOk;
}

// send --window: the running window sends, as its "Verzenden " button does,
// and says over the bus how the network cleared the call.
int SendThroughWindow(QCoreApplication& app, const Options& options)
{
    if (const int bad = CheckSendOperands(options); bad >= 0)
        return bad;
    const QString number = options.operands[0];
    const QString text = options.operands[1];
    // What the window's Delivery will carry: the text as its log shows it.
    const QString reported = cp1252::ControlsAsBlanks(text);

    CWindowClient client;
    int exitCode = ExitFailed;
    bool ended = false;
    auto end = [&](int code) {
        exitCode = code;
        ended = true;
        app.quit();
    };
    // Connected before the send, so that no Delivery can slip by.
    QObject::connect(&client.Window(), &CZoemlijnProxy::Delivery, &app,
                     [&](const QString& sentTo, const QString& sent, ushort reason) {
                         if (ended || sentTo != number || sent != reported)
                             return; // another text of the window's
                         const Outcome outcome = DescribeReason(reason, false);
                         Print(stdout, "Verz: " + cp1252::ForDisplay(sent) + " naar " + number + ": " + outcome.text);
                         end(outcome.delivered ? ExitOk : ExitFailed);
                     });
    QObject::connect(&client, &CWindowClient::WindowGone, &app, [&] {
        Print(stderr, "zoemlijn-cli: het venster is gestopt");
        end(ExitFailed);
    });
    if (const std::optional<QString> why = client.Unreachable()) {
        Print(stderr, "zoemlijn-cli: " + *why);
        return ExitFailed;
    }
    const int waitSeconds = options.timeoutSeconds > 0 ? options.timeoutSeconds : kCallWaitSeconds;
    client.Send(number, text, waitSeconds * 1000, [&](const std::optional<QString>& refusal) {
        if (refusal) {
            Print(stderr, "zoemlijn-cli: " + *refusal);
            end(ExitFailed);
            return;
        }
        QTimer::singleShot(waitSeconds * 1000, &app, [&, waitSeconds] {
            if (!ended) {
                Print(stderr, QString("zoemlijn-cli: geen bericht van het venster over de oproep binnen %1 s")
                                  .arg(waitSeconds));
                end(ExitFailed);
            }
        });
    });
    if (!Interrupted())
        app.exec();
    if (!ended)
        SayInterrupted();
    return exitCode;
}

// watch: the running window's received texts, one line each as listen
// prints its own.
int Watch(QCoreApplication& app, const Options& options)
{
    if (!options.operands.isEmpty())
        return Usage("onbekend argument voor watch: " + options.operands.first());
    CWindowClient client;
    int received = 0;
    QObject::connect(&client.Window(), &CZoemlijnProxy::TextReceived, &app,
                     [&](const QString& number, const QString&, const QString& text, const QString& calledNumber,
                         const QString& callType, qlonglong) {
                         using cp1252::ForDisplay;
                         Print(stdout, ForDisplay(number) + '\t' + ForDisplay(calledNumber) + '\t' +
                                           ForDisplay(callType) + '\t' + ForDisplay(text));
                         if (options.count > 0 && ++received >= options.count)
                             app.quit();
                     });
    QObject::connect(&client, &CWindowClient::WindowGone, &app,
                     [] { Print(stderr, "zoemlijn-cli: het venster is gestopt, wacht tot het terugkomt..."); });
    QObject::connect(&client, &CWindowClient::WindowBack, &app,
                     [] { Print(stderr, "zoemlijn-cli: het venster is er weer, wacht op teksten"); });
    if (const std::optional<QString> why = client.Unreachable()) {
        Print(stderr, "zoemlijn-cli: " + *why);
        return ExitFailed;
    }
    Print(stderr, "zoemlijn-cli: wacht op teksten van het venster (Ctrl+C stopt)");
    if (!Interrupted())
        app.exec();
    return ExitOk;
}

int Info(QCoreApplication& app, const Options& options)
{
    if (!options.operands.isEmpty())
        return Usage("info verwacht geen argumenten");
    CCapiLink link;
    if (options.verbose)
        link.SetLogObserver([](const std::string& line) { Print(stderr, "capi: " + FromBytes(line)); });
    ApplyTimeout(link, options);
    if (!link.LoadCAPIDll())
        return ExitFailed;

    // One query after the other, each bounded; a failure shows its own line.
    QStringList lines;
    bool ok = true;
    using Query = CCapiLink::Query;
    for (Query query : {Query::Manufacturer, Query::SerialNumber, Query::Version, Query::Profile}) {
        const auto call = link.BeginQuery(query);
        if (!Await(app, call)) {
            SayInterrupted();
            return ExitFailed;
        }
        std::string text, line2, line3;
        switch (query) {
        case Query::Manufacturer:
            // The driver says nothing of a failure here, but no answer is one.
            if (link.EndGetCAPIManufacturer(*call, text)) {
                lines << FromBytes(text);
            } else {
                lines << FromBytes(link.LogLine());
                ok = false;
            }
            break;
        case Query::SerialNumber:
            ok = link.EndGetCAPISerialNumber(*call, text) && ok;
            lines << FromBytes(text);
            break;
        case Query::Version:
            ok = link.EndGetCAPIVersion(*call, text) && ok;
            lines << FromBytes(text);
            break;
        case Query::Profile:
            if (link.EndGetCAPIProfile(*call, text, line2, line3)) {
                lines << FromBytes(text) << FromBytes(line2) << FromBytes(line3);
            } else {
                lines << FromBytes(link.LogLine());
                ok = false;
            }
            break;
        }
    }
    for (const QString& line : lines)
        Print(stdout, line);
    return ok ? ExitOk : ExitFailed;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The phone-book commands touch no driver and have options of their own.
    const QStringList arguments = app.arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == "telefoonboek")
        return PhoneBookCommand(arguments.mid(1));
    Options options;
    const int done = Parse(arguments, options);
    if (done >= 0)
        return done;
    if (options.operands.isEmpty())
        return Usage(QString());
    const QString command = options.operands.takeFirst();
    if (options.count > 0 && command != "listen" && command != "watch")
        return Usage("--count hoort bij listen of watch");
    if (options.window && command != "send")
        return Usage("--window hoort bij send");
    if (options.timeoutSeconds > 0 && command == "watch")
        return Usage("--timeout hoort niet bij watch: het wacht tot Ctrl+C");
    QuitOnSignals(app);
    if (command == "send")
        return options.window ? SendThroughWindow(app, options) : Send(app, options);
    if (command == "listen")
        return Listen(app, options);
    if (command == "watch")
        return Watch(app, options);
    if (command == "info")
        return Info(app, options);
    return Usage("onbekende opdracht: " + command);
}
