// isdn-exchange: a simulated ISDN exchange that libcapi20 reaches in its
// remote-CAPI mode. See Config.h for the options.
#include "Config.h"
#include "ExchangeServer.h"
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
                     "                     [--config FILE] [--pcap FILE] [--verbose]\n"
                     "                     [--setup-timeout MS] [--alert-timeout MS]\n",
                     qPrintable(error));
        return 2;
    }

    exchange::ServerOptions options;
    options.address = config.address;
    options.verbose = config.verbose;
    options.timeouts.setupMs = config.setupTimeoutMs;
    options.timeouts.alertMs = config.alertTimeoutMs;
    exchange::ExchangeServer server(options);
    exchange::PcapWriter pcap;
    if (!config.pcapPath.isEmpty()) {
        if (!pcap.Open(config.pcapPath.toStdString())) {
            std::fprintf(stderr, "isdn-exchange: cannot write %s\n", qPrintable(config.pcapPath));
            return 1;
        }
        server.Core().SetObserver(&pcap);
    }
    for (const auto& line : config.lines) {
        if (!server.AddLine(line.number, line.port, &error)) {
            std::fprintf(stderr, "isdn-exchange: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("listening %s %s:%u\n", qPrintable(line.number), qPrintable(config.address.toString()),
                    server.Port(line.number));
    }
    for (const auto& number : config.answering) {
        if (!server.AddAnsweringLine(number, &error)) {
            std::fprintf(stderr, "isdn-exchange: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("answering %s\n", qPrintable(number));
    }
    std::fflush(stdout);
    return app.exec();
}
