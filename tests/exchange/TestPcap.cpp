// The pcap file holds the texts: who may read it, where it goes, and what
// happens when writing it fails.
#include "PcapWriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

using exchange::PcapWriter;

namespace {
constexpr int kFileHeader = 24;

// One call's SETUP, CONNECT and clearing, as the switch reports them.
void OneCall(PcapWriter& pcap, uint64_t call)
{
    pcap.CallSetup(call, "0301111111", "0302222222", 2, "\x81tekst");
    pcap.CallCleared(call, 0x349d);
}

// Octets of whole records from the start of the file, checked record by record.
qint64 WholeRecords(const QByteArray& bytes, int* records)
{
    qint64 pos = kFileHeader;
    *records = 0;
    while (pos + 16 <= bytes.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData() + pos);
        const qint64 len = p[8] | (p[9] << 8) | (p[10] << 16) | (p[11] << 24);
        if (pos + 16 + len > bytes.size())
            break;
        pos += 16 + len;
        ++*records;
    }
    return pos;
}

mode_t ModeOf(const QString& path)
{
    struct stat st{};
    stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}
} // namespace

class TestPcap : public QObject
{
    Q_OBJECT

private slots:
    void modes_data()
    {
        QTest::addColumn<int>("umaskBits");
        QTest::addColumn<int>("existingMode"); // -1: no file yet
        QTest::newRow("new file, open umask") << 0 << -1;
        QTest::newRow("new file, usual umask") << 022 << -1;
        QTest::newRow("existing file readable by all") << 022 << 0644;
        QTest::newRow("existing file writable by all") << 0 << 0666;
    }
    // Whatever the umask and whatever was there, only the owner reads it.
    void modes()
    {
        QFETCH(int, umaskBits);
        QFETCH(int, existingMode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("calls.pcap"));
        if (existingMode >= 0) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old contents");
            f.close();
            QVERIFY(chmod(QFile::encodeName(path).constData(), mode_t(existingMode)) == 0);
        }
        const mode_t old = umask(mode_t(umaskBits));
        PcapWriter pcap;
        const bool opened = pcap.Open(path.toStdString());
        umask(old);
        QVERIFY2(opened, pcap.Error().c_str());
        QCOMPARE(int(ModeOf(path)), 0600);
        QCOMPARE(QFileInfo(path).size(), qint64(kFileHeader));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("error"); // in Error()
        QTest::newRow("symlink to a file") << "symlink" << "Too many levels of symbolic links";
        QTest::newRow("dangling symlink") << "dangling" << "Too many levels of symbolic links";
        QTest::newRow("full device") << "/dev/full" << "No space left on device";
        QTest::newRow("directory missing") << "missing" << "No such file or directory";
    }
    // Refused at the start, with the reason, and nothing written anywhere.
    void refused()
    {
        QFETCH(QString, what);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("someone-elses"));
        QString path = dir.filePath(QStringLiteral("calls.pcap"));
        if (what == QLatin1String("symlink")) {
            QFile f(target);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep me");
            f.close();
            QVERIFY(QFile::link(target, path));
        } else if (what == QLatin1String("dangling")) {
            QVERIFY(QFile::link(target, path));
        } else if (what == QLatin1String("missing")) {
            path = dir.filePath(QStringLiteral("no/such/dir/calls.pcap"));
        } else {
            path = what;
        }
        PcapWriter pcap;
        QVERIFY(!pcap.Open(path.toStdString()));
        QVERIFY(!pcap.IsOpen());
        QVERIFY2(QString::fromStdString(pcap.Error()).contains(error), pcap.Error().c_str());
        if (what == QLatin1String("symlink")) {
            QFile f(target);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("keep me"));
        }
        if (what == QLatin1String("dangling"))
            QVERIFY(!QFile::exists(target));
    }

    void writeFails_data()
    {
        QTest::addColumn<int>("failAt");    // octet at which the device fails
        QTest::addColumn<int>("error");     // errno then; 0: it takes nothing more
        QTest::addColumn<bool>("opens");
        QTest::newRow("in the file header") << 10 << ENOSPC << false;
        QTest::newRow("right after the file header") << kFileHeader << ENOSPC << true;
        QTest::newRow("inside the first record") << kFileHeader + 20 << EIO << true;
        QTest::newRow("in the third record") << 300 << ENOSPC << true;
        QTest::newRow("device takes nothing more") << 300 << 0 << true;
    }
    // A full disk: one message, the file cut back to whole records, nothing
    // written after it, the calls themselves still reported to it harmlessly.
    void writeFails()
    {
        QFETCH(int, failAt);
        QFETCH(int, error);
        QFETCH(bool, opens);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("calls.pcap"));
        PcapWriter pcap;
        std::vector<std::string> messages;
        pcap.SetErrorSink([&](const std::string& m) { messages.push_back(m); });
        qint64 taken = 0;
        int callsAfterFailure = 0;
        bool failed = false;
        pcap.SetWriteFunction([&](int fd, const void* data, size_t size) -> ssize_t {
            if (failed)
                ++callsAfterFailure;
            const qint64 room = failAt - taken;
            if (room <= 0) {
                failed = true;
                errno = error;
                return error ? -1 : 0;
            }
            // A device that fills up takes what fits first.
            const ssize_t n = write(fd, data, std::min<size_t>(size, size_t(room)));
            taken += n;
            return n;
        });
        QCOMPARE(pcap.Open(path.toStdString()), opens);
        if (!opens) {
            QVERIFY(messages.empty()); // the caller says it, and stops
            QVERIFY(!pcap.Error().empty());
            return;
        }
        for (uint64_t call = 1; call <= 20; ++call)
            OneCall(pcap, call);
        QCOMPARE(int(messages.size()), 1);
        QVERIFY2(messages[0].find(path.toStdString()) != std::string::npos, messages[0].c_str());
        QVERIFY(!pcap.IsOpen());
        QCOMPARE(callsAfterFailure, 0);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        int records = 0;
        QCOMPARE(WholeRecords(bytes, &records), bytes.size());
        QVERIFY(bytes.size() <= failAt);
    }

    // A second exchange that cannot have the port leaves the first one's
    // capture alone: it binds before it opens the file.
    void secondExchangeLeavesThePcap()
    {
        QTemporaryDir dir;
        const QString pcapPath = dir.filePath(QStringLiteral("calls.pcap"));
        QFile f(pcapPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100, 'p'));
        f.close();
        QProcess first;
        first.start(QStringLiteral(ZL_EXCHANGE_BIN), {QStringLiteral("--line"), QStringLiteral("1=0")});
        QVERIFY(first.waitForStarted());
        QVERIFY(first.waitForReadyRead(5000));
        const auto match =
            QRegularExpression(QStringLiteral("listening 1 [^:]+:(\\d+)")).match(QString::fromLatin1(first.readLine()));
        QVERIFY(match.hasMatch());
        QProcess second;
        second.start(QStringLiteral(ZL_EXCHANGE_BIN),
                     {QStringLiteral("--line"), QStringLiteral("1=") + match.captured(1), QStringLiteral("--pcap"),
                      pcapPath});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("cannot listen"));
        QCOMPARE(QFileInfo(pcapPath).size(), qint64(100));
        first.terminate();
        first.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestPcap)
#include "TestPcap.moc"
