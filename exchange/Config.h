// What isdn-exchange is told on its command line or in its config file.
#pragma once

#include <QHostAddress>
#include <QList>
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
bool ParseConfigText(const QString& text, Config& config, QString& error);
// Arguments without the program name.
bool ParseArguments(const QStringList& args, Config& config, QString& error);

} // namespace exchange
