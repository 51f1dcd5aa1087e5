// The pcap file holds the texts: who may read it, where it goes, and what
// happens when writing it fails.
#include "PcapWriter.h"

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

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Whether the file is its header and whole records, nothing cut short.
bool WholeRecords(const QByteArray& bytes)
{
    qint64 pos = kFileHeader;
    while (pos + 16 <= bytes.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData() + pos);
        pos += 16 + (p[8] | p[9] << 8 | p[10] << 16 | uint32_t(p[11]) << 24);
    }
    return pos == bytes.size();
}
} // namespace

class TestPcap : public QObject
{
    Q_OBJECT

private slots:
    void opens_data()
    {
        QTest::addColumn<QString>("what"); // at the path before: nothing, a file of that mode, a link, a device
        QTest::addColumn<int>("umaskBits");
        QTest::addColumn<QString>("error"); // in Error(); empty: opened
        QTest::newRow("new file, open umask") << "new" << 0 << "";
        QTest::newRow("file readable by all") << "0644" << 022 << "";
        QTest::newRow("file writable by all") << "0666" << 0 << "";
        QTest::newRow("symlink to a file") << "link" << 0 << "Too many levels of symbolic links";
        QTest::newRow("dangling symlink") << "dangling link" << 0 << "Too many levels of symbolic links";
        QTest::newRow("full device") << "/dev/full" << 0 << "No space left on device";
    }
    // Whatever the umask and whatever was there, only the owner reads it;
    // never through a symlink; a device that takes no header is refused.
    void opens()
    {
        QFETCH(QString, what);
        QFETCH(int, umaskBits);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("someone-elses"));
        const QString path = what.startsWith('/') ? what : dir.filePath(QStringLiteral("calls.pcap"));
        const QByteArray name = QFile::encodeName(path);
        if (what.startsWith('0'))
            QVERIFY(WriteFile(path, "old contents") && chmod(name.constData(), mode_t(what.toInt(nullptr, 8))) == 0);
        if (what == QLatin1String("link"))
            QVERIFY(WriteFile(target, "keep me"));
        if (what.endsWith(QLatin1String("link")))
            QVERIFY(QFile::link(target, path));
        const mode_t old = umask(mode_t(umaskBits));
        PcapWriter pcap;
        const bool opened = pcap.Open(path.toStdString());
        umask(old);
        QCOMPARE(pcap.IsOpen(), opened);
        QVERIFY2(error.isEmpty() ? opened : QString::fromStdString(pcap.Error()).contains(error) && !opened,
                 pcap.Error().c_str());
        if (opened) {
            struct stat st{};
            QCOMPARE(stat(name.constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 07777), 0600);
            QCOMPARE(qint64(st.st_size), qint64(kFileHeader));
        }
        // Nothing written through a link.
        QFile f(target);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("none"),
                 what == QLatin1String("link") ? QByteArray("keep me") : QByteArray("none"));
    }

    void writeFails_data()
    {
        QTest::addColumn<int>("failAt"); // octet at which the device fails
        QTest::addColumn<int>("error");  // errno then; 0: it takes nothing more
        QTest::newRow("right after the file header") << kFileHeader << ENOSPC;
        QTest::newRow("inside the first record") << kFileHeader + 20 << EIO;
        QTest::newRow("in the third record") << 300 << ENOSPC;
        QTest::newRow("device takes nothing more") << 300 << 0;
    }
    // A full disk: one message, the file cut back to whole records, nothing
    // written after it, the calls themselves still reported to it harmlessly.
    void writeFails()
    {
        QFETCH(int, failAt);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("calls.pcap"));
        PcapWriter pcap;
        std::vector<std::string> messages;
        pcap.SetErrorSink([&](const std::string& m) { messages.push_back(m); });
        qint64 taken = 0;
        int callsAfterFailure = 0;
        bool failed = false;
        pcap.SetWriteFunction([&](int fd, const void* data, size_t size) -> ssize_t {
            callsAfterFailure += failed;
            if (taken >= failAt) {
                failed = true;
                errno = error;
                return error ? -1 : 0;
            }
            // A device that fills up takes what fits first.
            const ssize_t n = write(fd, data, std::min<size_t>(size, size_t(failAt - taken)));
            taken += n;
            return n;
        });
        QVERIFY(pcap.Open(path.toStdString()));
        for (uint64_t call = 1; call <= 20; ++call) {
            pcap.CallSetup(call, "0301111111", "0302222222", 2, "\x81tekst");
            pcap.CallCleared(call, 0x349d);
        }
        QCOMPARE(int(messages.size()), 1);
        QVERIFY2(messages[0].find(path.toStdString()) != std::string::npos, messages[0].c_str());
        QVERIFY(!pcap.IsOpen());
        QCOMPARE(callsAfterFailure, 0);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(WholeRecords(bytes));
        QVERIFY(bytes.size() <= failAt);
    }

    // A second exchange that cannot have the port leaves the first one's
    // capture alone: it binds before it opens the file.
    void secondExchangeLeavesThePcap()
    {
        QTemporaryDir dir;
        const QString pcapPath = dir.filePath(QStringLiteral("calls.pcap"));
        QVERIFY(WriteFile(pcapPath, QByteArray(100, 'p')));
        QProcess first;
        first.start(QStringLiteral(ZL_EXCHANGE_BIN), {QStringLiteral("--line"), QStringLiteral("1=0")});
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
