// The log writer: a descriptor that takes nothing never holds up the poster.
#include "LogWriter.h"

#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <string>

using exchange::LogWriter;

class TestLogWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    void blockedDescriptor_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("read"); // false: the reader never comes back
        QTest::newRow("fewer than wait") << 100 << true;
        QTest::newRow("more than wait") << int(LogWriter::kMaxWaiting) * 4 << true;
        QTest::newRow("nobody reads") << 200 << false;
    }
    // Nobody reads the pipe while the lines are posted: every Post returns,
    // what does not fit is dropped and said so, the rest comes in order. The
    // writer goes even while the pipe stays full.
    void blockedDescriptor()
    {
        QFETCH(int, lines);
        QFETCH(bool, read);
        int fds[2];
        QVERIFY(pipe(fds) == 0);
        // After the writer has gone: a write still blocked then ends with EPIPE.
        const auto closeFds = qScopeGuard([&] {
            close(fds[0]);
            close(fds[1]);
        });
        fcntl(fds[0], F_SETFL, O_NONBLOCK); // our end only
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const std::string filler(200, 'x');
        LogWriter log(fds[1]);
        for (int i = 0; i < lines; ++i)
            log.Post(std::to_string(i) + ' ' + filler);
        if (!read)
            return;
        // Everything in the pipe until it stays empty for 300 ms.
        std::string got;
        char buf[65536];
        for (int idleMs = 0; idleMs < 300;) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0) {
                got.append(buf, size_t(n));
                idleMs = 0;
            } else {
                QTest::qWait(10);
                idleMs += 10;
            }
        }
        const size_t dropped = log.Dropped();
        // At most a batch in the blocked write and kMaxWaiting behind it.
        QCOMPARE(dropped > 0, lines > 2 * int(LogWriter::kMaxWaiting));
        QCOMPARE(got.find("log lines dropped)") != std::string::npos, dropped > 0);
        // The lines that came are whole and in order.
        QVERIFY(got.back() == '\n');
        int last = -1, count = 0;
        std::istringstream in(got);
        for (std::string line; std::getline(in, line);) {
            if (line.front() == '(')
                continue;
            QVERIFY2(std::stoi(line) > last && line.substr(line.find(' ') + 1) == filler, line.c_str());
            last = std::stoi(line);
            ++count;
        }
        QCOMPARE(size_t(count) + dropped, size_t(lines));
    }
};

QTEST_GUILESS_MAIN(TestLogWriter)
#include "TestLogWriter.moc"
