// What isdn-exchange is told on its command line or in its config file.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace exchange {

struct LineDef
{
    QString number;
    quint16 port = 0;
};

struct Config
{
    QList<LineDef> lines;
    QStringList answering;
    QHostAddress address = QHostAddress::LocalHost;
    QString pcapPath;
    bool verbose = false;
    // Milliseconds the called side has to answer a CONNECT_IND (or alert),
    // and to answer once it has alerted.
    int64_t setupTimeoutMs = 4000;
    int64_t alertTimeoutMs = 3 * 60 * 1000;
    // Limits; their meaning is in ServerOptions and SwitchLimits.
    int maxConnections = 512;
    int lineConnections = 64;
    int64_t registerTimeoutMs = 10000;
    int clientRegistrations = 8;
    int clientCalls = 30;
    int channels = 2;
    // Peers let in besides loopback: address and prefix length.
    QList<QPair<QHostAddress, int>> allow;
};

// "0301111111=52001" → number and port (0 = any free port).
bool ParseLineDef(const QString& text, LineDef& def, QString& error);
// Config file lines, '#' starts a comment:
//   line 0301111111=52001
//   answer 0309999999
//   address 127.0.0.1
//   pcap calls.pcap
//   verbose
//   setup-timeout 4000
//   alert-timeout 180000
//   max-connections 512
//   line-connections 64
//   register-timeout 10000
//   client-registrations 8
//   client-calls 30
//   channels 2
//   allow 192.168.1.0/24
bool ParseConfigText(const QString& text, Config& config, QString& error);
// Arguments without the program name.
bool ParseArguments(const QStringList& args, Config& config, QString& error);

} // namespace exchange
