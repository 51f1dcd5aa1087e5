// zoemlijn-cli telefoonboek: import and export from a terminal, their
// one-line summaries, exit codes and what they leave in the files.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kBook("0301234567\r\nAnna\r\nWav-file\r\na.wav\r\n0201111111\r\nBram\r\n\r\n\r\n");
const QByteArray kVcf("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Cor\r\nTEL:+31 6 12345678\r\nTEL:+31 30 123 45 67\r\n"
                      "END:VCARD\r\n");

} // namespace

class TestCliPhoneBook : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void exitCodes_data();
    void exitCodes();

private:
    void Write(const QString& name, const QByteArray& bytes)
    {
        QFile file(m_dir->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray Read(const QString& name)
    {
        QFile file(m_dir->filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCliPhoneBook::init() { m_dir = std::make_unique<QTemporaryDir>(); }

void TestCliPhoneBook::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // the one line on stdout
    QTest::addColumn<QString>("book");   // the file that must hold the result
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray added = kBook + "0612345678\r\nCor\r\n\r\n\r\n";
    QTest::newRow("import") << QStringList{"telefoonboek", "import", "cor.vcf"} << 0
                            << "1 nummer toegevoegd, 1 nummer stond al in het telefoonboek, 0 namen aangepast."
                            << "telefoonboek.dat" << added;
    QTest::newRow("import into another book")
        << QStringList{"telefoonboek", "import", "cor.vcf", "--file", "ander.dat"} << 0
        << "2 nummers toegevoegd, 0 nummers stonden al in het telefoonboek, 0 namen aangepast." << "ander.dat"
        << QByteArray("0612345678\r\nCor\r\n\r\n\r\n0301234567\r\nCor\r\n\r\n\r\n");
    QTest::newRow("export vCard") << QStringList{"telefoonboek", "export", "uit.vcf"} << 0 << "2 nummers naar uit.vcf"
                                  << "uit.vcf"
                                  << QByteArray("BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Anna\r\nTEL;VALUE=uri:tel:+31301234567\r\n"
                                                "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nFN:Bram\r\n"
                                                "TEL;VALUE=uri:tel:+31201111111\r\nEND:VCARD\r\n");
    QTest::newRow("export CSV") << QStringList{"telefoonboek", "export", "uit.csv"} << 0 << "2 nummers naar uit.csv"
                                << "uit.csv"
                                << QByteArray("Name,Phone 1 - Type,Phone 1 - Value\r\nAnna,Other,+31301234567\r\n"
                                              "Bram,Other,+31201111111\r\n");
    QTest::newRow("import of a missing file") << QStringList{"telefoonboek", "import", "weg.vcf"} << 1 << ""
                                              << "telefoonboek.dat" << kBook;
    QTest::newRow("export of a missing book")
        << QStringList{"telefoonboek", "export", "uit.vcf", "--file", "weg.dat"} << 1 << "" << "uit.vcf"
        << QByteArray("<missing>");
    QTest::newRow("export where no file can be") << QStringList{"telefoonboek", "export", "map.vcf"} << 1 << ""
                                                 << "telefoonboek.dat" << kBook;
    QTest::newRow("import into a book that cannot be written")
        << QStringList{"telefoonboek", "import", "cor.vcf", "--file", "map.vcf"} << 1 << "" << "cor.vcf" << kVcf;
    QTest::newRow("unknown subcommand") << QStringList{"telefoonboek", "wis", "a.vcf"} << 2 << ""
                                        << "telefoonboek.dat" << kBook;
    QTest::newRow("unknown extension") << QStringList{"telefoonboek", "export", "uit.txt"} << 2 << ""
                                       << "uit.txt" << QByteArray("<missing>");
    QTest::newRow("--file without a path") << QStringList{"telefoonboek", "import", "cor.vcf", "--file"} << 2 << ""
                                           << "telefoonboek.dat" << kBook;
}

void TestCliPhoneBook::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, book);
    QFETCH(QByteArray, bytes);
    Write("telefoonboek.dat", kBook);
    Write("cor.vcf", kVcf);
    // A directory where a file is due cannot be written, not even by root.
    QVERIFY(QDir(m_dir->path()).mkpath("map.vcf/x"));

    QProcess cli;
    cli.setWorkingDirectory(m_dir->path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_dir->path()); // the user's settings stay out of it
    env.insert("XDG_CONFIG_HOME", m_dir->filePath(".config"));
    cli.setProcessEnvironment(env);
    cli.start(ZL_CLI_BIN, args);
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray out = cli.readAllStandardOutput();
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == exitCode, err.constData());
    QCOMPARE(QString::fromLocal8Bit(out).trimmed(), output);
    if (exitCode != 0)
        QVERIFY(!err.isEmpty());
    QCOMPARE(Read(book), bytes);
    // Written atomically: no temporary file is left behind.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).filter(".tmp").size() +
                 QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).filter(QRegularExpression("\\.[A-Za-z0-9]{6}$")).size(),
             qsizetype(0));
}

QTEST_GUILESS_MAIN(TestCliPhoneBook)
#include "TestCliPhoneBook.moc"
