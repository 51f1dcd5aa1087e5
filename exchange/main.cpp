// isdn-exchange: a simulated ISDN exchange that libcapi20 reaches in its
// remote-CAPI mode. See Config.h for the options.
#include "Config.h"
#include "ExchangeServer.h"
#include "LogWriter.h"
#include "PcapWriter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    exchange::Config config;
    QString error;
    if (!exchange::ParseArguments(app.arguments().mid(1), config, error)) {
        std::fprintf(stderr,
                     "isdn-exchange: %s\n"
                     "usage: isdn-exchange --line NUMBER=PORT [--line ...] [--answer NUMBER] [--address ADDR]\n"
                     "                     [--allow ADDR[/PREFIX] ...] [--config FILE] [--pcap FILE] [--verbose]\n"
                     "                     [--setup-timeout MS] [--alert-timeout MS] [--register-timeout MS]\n"
                     "                     [--max-connections N] [--line-connections N]\n"
                     "                     [--client-registrations N] [--client-calls N] [--channels N]\n",
                     qPrintable(error));
        return 2;
    }

    // Log lines go out from a thread of their own: a stderr that blocks
    // must not hold up the calls.
    exchange::LogWriter log;
    exchange::ServerOptions options;
    options.address = config.address;
    options.verbose = config.verbose;
    options.log = [&log](const std::string& line) { log.Post(line); };
    options.timeouts.setupMs = config.setupTimeoutMs;
    options.timeouts.alertMs = config.alertTimeoutMs;
    options.maxConnections = config.maxConnections;
    options.lineConnections = config.lineConnections;
    options.registerTimeoutMs = config.registerTimeoutMs;
    options.limits.clientRegistrations = config.clientRegistrations;
    options.limits.clientCalls = static_cast<uint16_t>(config.clientCalls);
    options.limits.channels = config.channels;
    options.allow = config.allow;
    exchange::ExchangeServer server(options);
    for (const auto& line : config.lines) {
        if (!server.AddLine(line.number, line.port, &error)) {
            std::fprintf(stderr, "isdn-exchange: %s\n", qPrintable(error));
            return 1;
        }
    }
    for (const auto& number : config.answering) {
        if (!server.AddAnsweringLine(number, &error)) {
            std::fprintf(stderr, "isdn-exchange: %s\n", qPrintable(error));
            return 1;
        }
    }
    // Only now that every port is ours: an exchange that cannot start must
    // not empty the capture of one that runs.
    exchange::PcapWriter pcap;
    if (!config.pcapPath.isEmpty()) {
        if (!pcap.Open(config.pcapPath.toStdString())) {
            std::fprintf(stderr, "isdn-exchange: cannot write %s\n", pcap.Error().c_str());
            return 1;
        }
        pcap.SetErrorSink([&log](const std::string& line) { log.Post(line); });
        server.Core().SetObserver(&pcap);
    }
    const QString warning = exchange::ExposureWarning(config.address);
    if (!warning.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(warning));
    if (server.MaxConnections() < config.maxConnections)
        std::fprintf(stderr, "isdn-exchange: at most %d connections, as the open-files limit allows\n",
                     server.MaxConnections());
    for (const auto& line : config.lines)
        std::printf("listening %s %s:%u\n", qPrintable(line.number), qPrintable(config.address.toString()),
                    server.Port(line.number));
    for (const auto& number : config.answering)
        std::printf("answering %s\n", qPrintable(number));
    std::fflush(stdout);
    const int status = app.exec();
    server.Core().SetObserver(nullptr);
    return status;
}
