// What the delivery and idle benchmarks share: isdn-exchange on free ports,
// a home per subscriber (its own ~/.capi20rc, settings and working
// directory), and bench-peer processes steered over pipes.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>

#include <time.h>

#include <cstdio>

namespace benchrig {

inline long long NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A subscriber's home and working directory: the driver on `port`, the
// settings given as "Name=value" lines, an empty phone book.
inline bool MakeHome(const QString& home, quint16 port, const QByteArray& settings)
{
    return WriteFile(home + QStringLiteral("/.capi20rc"),
                     QStringLiteral("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n").arg(port).toLatin1()) &&
           WriteFile(home + QStringLiteral("/.config/Vlinderwerk/Zoemlijn.conf"),
                     "[Capi%20settings]\n" + settings) &&
           WriteFile(home + QStringLiteral("/telefoonboek.dat"), {});
}

class Exchange
{
public:
    // One line per number, each on a port the exchange picks.
    bool Start(const QStringList& numbers)
    {
        QStringList arguments;
        for (const QString& number : numbers)
            arguments << QStringLiteral("--line") << number + QStringLiteral("=0");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ZL_EXCHANGE_BIN), arguments);
        if (!m_process.waitForStarted())
            return false;
        QElapsedTimer timer;
        timer.start();
        while (m_ports.size() < numbers.size() && timer.elapsed() < 5000) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(5000))
                return false;
            // "listening NUMBER ADDR:PORT"
            const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
            if (words.size() == 3 && words[0] == "listening")
                m_ports[QString::fromLatin1(words[1])] = quint16(words[2].mid(words[2].lastIndexOf(':') + 1).toUInt());
        }
        return m_ports.size() == numbers.size();
    }
    quint16 Port(const QString& number) const { return m_ports.value(number); }
    qint64 Pid() const { return m_process.processId(); }
    ~Exchange()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
    }

private:
    QProcess m_process;
    QMap<QString, quint16> m_ports;
};

class Peer
{
public:
    explicit Peer(QString name) : m_name(std::move(name)) {}

    bool Start(const QString& mode, const QString& home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(home);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ZL_BENCH_PEER_BIN), {mode});
        if (!m_process.waitForStarted())
            return false;
        for (;;) {
            const QByteArray line = ReadLine(15000);
            if (line == "ready")
                return true;
            std::fprintf(stderr, "%s: %s\n", qPrintable(m_name), line.constData());
            if (line.isEmpty() || line.startsWith("error"))
                return false;
        }
    }

    void Write(const QByteArray& line) { m_process.write(line + '\n'); }

    // The next line, or an empty one after `timeoutMs`.
    QByteArray ReadLine(int timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine()) {
            const int left = int(timeoutMs - timer.elapsed());
            if (left <= 0 || !m_process.waitForReadyRead(left))
                return {};
        }
        return m_process.readLine().trimmed();
    }

    // The next line that starts with `word`; other lines (message boxes the
    // window would have shown) are told on stderr.
    QByteArray Expect(const QByteArray& word, int timeoutMs = 5000)
    {
        for (;;) {
            const QByteArray line = ReadLine(timeoutMs);
            if (line.isEmpty() || line.startsWith(word + ' ') || line == word)
                return line;
            std::fprintf(stderr, "%s: %s\n", qPrintable(m_name), line.constData());
        }
    }

    qint64 Pid() const { return m_process.processId(); }
    const QString& Name() const { return m_name; }

    bool Quit()
    {
        Write("quit");
        return !Expect("bye", 10000).isEmpty() && m_process.waitForFinished(10000);
    }
    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

private:
    QString m_name;
    QProcess m_process;
};

} // namespace benchrig
