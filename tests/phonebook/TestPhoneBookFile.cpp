// "telefoonboek.dat": reading, writing, appending and looking up, on the
// bytes of the file.
#include "PhoneBookFile.h"

#include "Cp1252.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray FileBytes()
{
    QFile file(kPhoneBookFileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteFile(const QByteArray& bytes)
{
    QFile file(kPhoneBookFileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

using Records = QList<PhoneBookRecord>;

} // namespace

Q_DECLARE_METATYPE(PhoneBookRecord)

namespace QTest {
template <>
char* toString(const PhoneBookRecord& r)
{
    return qstrdup(QString("{%1|%2|%3|%4}").arg(r.number, r.name, r.action, r.path).toUtf8());
}
} // namespace QTest

class TestPhoneBookFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void load_data();
    void load();
    void loadCreatesMissingFile();
    void saveWritesTheWorkedExample();
    void saveThenLoadKeepsEverything();
    void append_data();
    void append();
    void unreadableFileIsLeftAlone();
    void lookup_data();
    void lookup();
    void lookupWithoutFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previous;
};

void TestPhoneBookFile::init()
{
    m_previous = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_dir->path());
}

void TestPhoneBookFile::cleanup() { QDir::setCurrent(m_previous); }

void TestPhoneBookFile::load_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Records>("records");
    const PhoneBookRecord kantoor{"0123456789", "Kantoor", "Wav-file", "C:\\Geluid\\bel.wav"};
    QTest::newRow("empty file") << QByteArray() << Records{};
    QTest::newRow("one record, CR LF")
        << QByteArray("0123456789\r\nKantoor\r\nWav-file\r\nC:\\Geluid\\bel.wav\r\n") << Records{kantoor};
    QTest::newRow("bare LF reads the same")
        << QByteArray("0123456789\nKantoor\nWav-file\nC:\\Geluid\\bel.wav\n") << Records{kantoor};
    QTest::newRow("last line without its end")
        << QByteArray("0123456789\r\nKantoor\r\nWav-file\r\nC:\\Geluid\\bel.wav") << Records{kantoor};
    QTest::newRow("short last record is padded")
        << QByteArray("1\r\nA\r\n\r\n\r\n2\r\nB\r\n") << Records{{"1", "A", "", ""}, {"2", "B", "", ""}};
    QTest::newRow("one more empty line is one more record")
        << QByteArray("1\r\nA\r\nX\r\nP\r\n\r\n") << Records{{"1", "A", "X", "P"}, {"", "", "", ""}};
    QTest::newRow("a lone CR stays in its field")
        << QByteArray("1\rx\r\nA\r\n\r\n\r\n") << Records{{"1\rx", "A", "", ""}};
}

void TestPhoneBookFile::load()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Records, records);
    WriteFile(bytes);
    Records loaded;
    QCOMPARE(LoadPhoneBook(&loaded), recordfile::ReadStatus::Ok);
    QCOMPARE(loaded, records);
}

void TestPhoneBookFile::loadCreatesMissingFile()
{
    Records loaded{{"x", "", "", ""}};
    QCOMPARE(LoadPhoneBook(&loaded), recordfile::ReadStatus::Missing);
    QVERIFY(loaded.isEmpty());
    QCOMPARE(FileBytes(), QByteArray(""));
}

void TestPhoneBookFile::saveWritesTheWorkedExample()
{
    QVERIFY(SavePhoneBook({{"0123456789", "Kantoor", "Wav-file", "C:\\Geluid\\bel.wav"}}));
    QCOMPARE(FileBytes().toHex(' '),
             QByteArray("30 31 32 33 34 35 36 37 38 39 0d 0a 4b 61 6e 74 6f 6f 72 0d 0a 57 61 76 2d 66 69 6c 65 "
                        "0d 0a 43 3a 5c 47 65 6c 75 69 64 5c 62 65 6c 2e 77 61 76 0d 0a"));
    QVERIFY(SavePhoneBook({}));
    QCOMPARE(FileBytes(), QByteArray(""));
}

void TestPhoneBookFile::saveThenLoadKeepsEverything()
{
    QByteArray every8Bit;
    for (int b = 0x80; b <= 0xFF; ++b)
        every8Bit.append(char(b));
    const Records records{
        {"1", cp1252::Decode(every8Bit), "wav-file", "geen sleutelwoord"},
        {"", "", "", ""},
        {"2", "Béatrice", "Programma", "/usr/bin/xeyes"},
    };
    QVERIFY(SavePhoneBook(records));
    Records loaded;
    QCOMPARE(LoadPhoneBook(&loaded), recordfile::ReadStatus::Ok);
    QCOMPARE(loaded, records);
    QVERIFY(FileBytes().contains(every8Bit));
}

void TestPhoneBookFile::append_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("no file") << QByteArray("<missing>") << QByteArray("0301\r\nJan\r\n\r\n\r\n");
    QTest::newRow("empty file") << QByteArray() << QByteArray("0301\r\nJan\r\n\r\n\r\n");
    QTest::newRow("after a whole record")
        << QByteArray("1\r\nA\r\nWav-file\r\nb.wav\r\n") << QByteArray("1\r\nA\r\nWav-file\r\nb.wav\r\n0301\r\nJan\r\n\r\n\r\n");
    // Appended bytes would have become the short record's action and path.
    QTest::newRow("after a short record")
        << QByteArray("1\r\nA") << QByteArray("1\r\nA\r\n\r\n\r\n0301\r\nJan\r\n\r\n\r\n");
}

void TestPhoneBookFile::append()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    if (before != "<missing>")
        WriteFile(before);
    QVERIFY(AppendPhoneBookRecord("0301", "Jan"));
    QCOMPARE(FileBytes(), after);
}

void TestPhoneBookFile::unreadableFileIsLeftAlone()
{
    // A name that exists but cannot be read as a file.
    QVERIFY(QDir().mkdir(kPhoneBookFileName));
    QVERIFY(!AppendPhoneBookRecord("1", "A"));
    Records loaded;
    QCOMPARE(LoadPhoneBook(&loaded), recordfile::ReadStatus::Failed);
    QCOMPARE(LookupPhoneBook("1").result, LookupResult::FileMissing);
    QVERIFY(QFileInfo(kPhoneBookFileName).isDir());
}

void TestPhoneBookFile::lookup_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("action");
    QTest::newRow("by number") << "0201" << int(LookupResult::Found) << "Eerste" << "Wav-file";
    QTest::newRow("first of two with one number wins") << "0202" << int(LookupResult::Found) << "Tweede" << "";
    QTest::newRow("by name line") << "Vierde" << int(LookupResult::Found) << "Vierde" << "MS-Access";
    QTest::newRow("case matters") << "vierde" << int(LookupResult::NotFound) << "" << "";
    QTest::newRow("action line never matches") << "Programma" << int(LookupResult::NotFound) << "" << "";
    QTest::newRow("empty key finds an empty line") << "" << int(LookupResult::Found) << "" << "";
    QTest::newRow("long key compared whole") << "0123456789012345" << int(LookupResult::Found) << "Lang" << "";
    QTest::newRow("long key not cut to 15") << "012345678901234" << int(LookupResult::NotFound) << "" << "";
    QTest::newRow("unknown") << "0999" << int(LookupResult::NotFound) << "" << "";
}

void TestPhoneBookFile::lookup()
{
    QFETCH(QString, key);
    QFETCH(int, result);
    QFETCH(QString, name);
    QFETCH(QString, action);
    QVERIFY(SavePhoneBook({
        {"0201", "Eerste", "Wav-file", "a.wav"},
        {"0202", "Tweede", "", ""},
        {"0202", "Derde", "Programma", "x"},
        {"0204", "Vierde", "MS-Access", "db.mdb"},
        {"0123456789012345", "Lang", "", ""},
        {"0206", "", "", ""},
    }));
    const PhoneBookEntry entry = LookupPhoneBook(key);
    QCOMPARE(int(entry.result), result);
    QCOMPARE(entry.name, name);
    QCOMPARE(entry.action, action);
}

void TestPhoneBookFile::lookupWithoutFile()
{
    QCOMPARE(LookupPhoneBook("0201").result, LookupResult::FileMissing);
    QVERIFY(!QFileInfo::exists(kPhoneBookFileName)); // a lookup never creates it
}

QTEST_GUILESS_MAIN(TestPhoneBookFile)
#include "TestPhoneBookFile.moc"
