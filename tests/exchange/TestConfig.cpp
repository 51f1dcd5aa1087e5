// Command line and config file of isdn-exchange.
#include "Config.h"

#include <QTemporaryFile>
#include <QTest>

using exchange::Config;

namespace {

// "--config FILE" for `config` written to `file`; nothing for an empty one.
bool ConfigArguments(QTemporaryFile& file, const QString& config, QStringList& arguments)
{
    if (config.isEmpty())
        return true;
    if (!file.open())
        return false;
    file.write(config.toUtf8());
    file.close();
    arguments << "--config" << file.fileName();
    return true;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("lines"); // "number=port,..." or "error"
        QTest::addColumn<QString>("answering");
        QTest::newRow("two lines") << QStringList{"--line", "0301111111=52001", "--line", "0302222222=52002"}
                                   << "0301111111=52001,0302222222=52002" << "";
        QTest::newRow("port 0 picks one") << QStringList{"--line", "1=0"} << "1=0" << "";
        QTest::newRow("answering only") << QStringList{"--answer", "0309999999"} << "" << "0309999999";
        QTest::newRow("port too large") << QStringList{"--line", "1=65536"} << "error" << "";
        QTest::newRow("port missing") << QStringList{"--line", "1="} << "error" << "";
        QTest::newRow("number missing") << QStringList{"--line", "=5"} << "error" << "";
        QTest::newRow("letters in the number") << QStringList{"--line", "12a=5"} << "error" << "";
        QTest::newRow("option without value") << QStringList{"--line"} << "error" << "";
        QTest::newRow("unknown option") << QStringList{"--lines", "1=5"} << "error" << "";
        QTest::newRow("no lines at all") << QStringList{"--verbose"} << "error" << "";
        QTest::newRow("bad address") << QStringList{"--line", "1=5", "--address", "nowhere"} << "error" << "";
    }
    void arguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, lines);
        QFETCH(QString, answering);
        Config config;
        QString error;
        const bool ok = exchange::ParseArguments(args, config, error);
        QCOMPARE(ok, lines != QLatin1String("error"));
        if (!ok) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QStringList got;
        for (const auto& line : config.lines)
            got << line.number + '=' + QString::number(line.port);
        QCOMPARE(got.join(','), lines);
        QCOMPARE(config.answering.join(','), answering);
    }

    void timeouts_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("config"); // config file text, or empty
        QTest::addColumn<int>("setupMs");    // -1: refused
        QTest::addColumn<int>("alertMs");
        QTest::newRow("defaults: 4 s and 3 minutes") << QStringList{} << "" << 4000 << 180000;
        QTest::newRow("command line") << QStringList{"--setup-timeout", "250", "--alert-timeout", "900"} << "" << 250
                                      << 900;
        QTest::newRow("config file") << QStringList{} << "setup-timeout 1500\nalert-timeout 60000\n" << 1500 << 60000;
        QTest::newRow("command line after the file wins")
            << QStringList{"--setup-timeout", "20"} << "setup-timeout 1500\n" << 20 << 180000;
        QTest::newRow("zero") << QStringList{"--setup-timeout", "0"} << "" << -1 << -1;
        QTest::newRow("negative") << QStringList{"--alert-timeout", "-5"} << "" << -1 << -1;
        QTest::newRow("seconds with a unit") << QStringList{"--setup-timeout", "4s"} << "" << -1 << -1;
        QTest::newRow("longer than a day") << QStringList{"--alert-timeout", "86400001"} << "" << -1 << -1;
        QTest::newRow("file value missing") << QStringList{} << "setup-timeout\n" << -1 << -1;
        QTest::newRow("file value not a number") << QStringList{} << "alert-timeout lang\n" << -1 << -1;
    }
    void timeouts()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, config);
        QFETCH(int, setupMs);
        QFETCH(int, alertMs);
        QTemporaryFile file;
        QStringList all;
        QVERIFY(ConfigArguments(file, config, all));
        all << args << "--line" << "1=0";
        Config parsed;
        QString error;
        const bool ok = exchange::ParseArguments(all, parsed, error);
        QCOMPARE(ok, setupMs >= 0);
        if (!ok) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QCOMPARE(parsed.setupTimeoutMs, int64_t(setupMs));
        QCOMPARE(parsed.alertTimeoutMs, int64_t(alertMs));
    }

    void limits_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("config"); // config file text, or empty
        // maxConnections,lineConnections,registerTimeoutMs,clientRegistrations,clientCalls,channels, then
        // the --allow subnets; or "error"
        QTest::addColumn<QString>("limits");
        const QString defaults = QStringLiteral("512,64,10000,8,30,2");
        QTest::newRow("defaults") << QStringList{} << "" << defaults;
        QTest::newRow("command line")
            << QStringList{"--max-connections", "100", "--line-connections", "10", "--register-timeout", "500",
                           "--client-registrations", "3", "--client-calls", "12", "--channels", "30"}
            << "" << "100,10,500,3,12,30";
        QTest::newRow("config file") << QStringList{}
                                     << "max-connections 200\nline-connections 5\nregister-timeout 2500\n"
                                        "client-registrations 2\nclient-calls 255\nchannels 1\nallow 10.0.0.0/8\n"
                                     << "200,5,2500,2,255,1 10.0.0.0/8";
        QTest::newRow("no connections at all") << QStringList{"--max-connections", "0"} << "" << "error";
        QTest::newRow("more calls than PLCIs") << QStringList{"--client-calls", "256"} << "" << "error";
        QTest::newRow("no B channel") << QStringList{"--channels", "0"} << "" << "error";
        QTest::newRow("more channels than a primary rate line") << QStringList{"--channels", "31"} << "" << "error";
        QTest::newRow("allow a subnet") << QStringList{"--allow", "192.168.1.0/24"} << "" << defaults + " 192.168.1.0/24";
        QTest::newRow("allow one host, all its bits") << QStringList{"--allow", "192.168.1.7"} << ""
                                                      << defaults + " 192.168.1.7/32";
        QTest::newRow("allow an IPv6 host") << QStringList{"--allow", "2001:db8::7"} << ""
                                            << defaults + " 2001:db8::7/128";
        QTest::newRow("allow repeated") << QStringList{"--allow", "10.0.0.0/8", "--allow", "::1"} << ""
                                        << defaults + " 10.0.0.0/8,::1/128";
        QTest::newRow("allow, prefix too long") << QStringList{"--allow", "10.0.0.0/33"} << "" << "error";
        QTest::newRow("allow, not an address") << QStringList{"--allow", "iedereen"} << "" << "error";
    }
    void limits()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, config);
        QFETCH(QString, limits);
        QTemporaryFile file;
        QStringList all;
        QVERIFY(ConfigArguments(file, config, all));
        Config parsed;
        QString error;
        const bool ok = exchange::ParseArguments(all + args + QStringList{"--line", "1=0"}, parsed, error);
        QCOMPARE(ok, limits != QLatin1String("error"));
        QVERIFY(ok || !error.isEmpty());
        if (!ok)
            return;
        QStringList allowed;
        for (const auto& [address, prefix] : parsed.allow)
            allowed << address.toString() + '/' + QString::number(prefix);
        const QString got = QStringLiteral("%1,%2,%3,%4,%5,%6 %7")
                                .arg(parsed.maxConnections)
                                .arg(parsed.lineConnections)
                                .arg(parsed.registerTimeoutMs)
                                .arg(parsed.clientRegistrations)
                                .arg(parsed.clientCalls)
                                .arg(parsed.channels)
                                .arg(allowed.join(','));
        QCOMPARE(got.trimmed(), limits);
    }

    void configFile()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("# two subscribers\nline 0301111111=52001\n  line 0302222222=0  # any port\n\n"
                   "answer 0309999999\naddress 127.0.0.2\npcap /tmp/x.pcap\nverbose\n");
        file.close();
        Config config;
        QString error;
        QVERIFY2(exchange::ParseArguments({"--config", file.fileName(), "--line", "3=3"}, config, error),
                 qPrintable(error));
        QCOMPARE(config.lines.size(), 3);
        QCOMPARE(config.lines[1].number, QStringLiteral("0302222222"));
        QCOMPARE(config.lines[1].port, quint16(0));
        QCOMPARE(config.answering, QStringList{"0309999999"});
        QCOMPARE(config.address, QHostAddress(QStringLiteral("127.0.0.2")));
        QCOMPARE(config.pcapPath, QStringLiteral("/tmp/x.pcap"));
        QVERIFY(config.verbose);
    }

    void configFileErrorNamesTheLine()
    {
        Config config;
        QString error;
        QVERIFY(!exchange::ParseConfigText("line 1=5\nlijn 2=6\n", config, error));
        QVERIFY2(error.startsWith(QLatin1String("line 2:")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "TestConfig.moc"
