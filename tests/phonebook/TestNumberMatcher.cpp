// Callers recognised in any number format: which book numbers an incoming
// number matches for each type of number, the form imported numbers take,
// and the lookup through the file with its index kept up to date.
#include "NumberMatcher.h"
#include "PhoneBookIndex.h"
#include "PhoneBookLookup.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

namespace {

NumberRules Rules(const QString& areaCode = QStringLiteral("30"))
{
    NumberRules rules;
    rules.enabled = true;
    rules.areaCode = areaCode;
    return rules;
}

void WriteInPlace(const QByteArray& bytes)
{
    QFile file(kPhoneBookFileName);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Moves the file's modification time back, as for a book saved long ago.
void Age(const QDateTime& when)
{
    QFile file(kPhoneBookFileName);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

} // namespace

class TestNumberMatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void matches_data();
    void matches();
    void forBook_data();
    void forBook();
    void lookupCaller_data();
    void lookupCaller();
    void everyChangeIsSeen_data();
    void everyChangeIsSeen();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previous;
};

void TestNumberMatcher::init()
{
    m_previous = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_dir->path());
    SetSettingsFileForTesting(m_dir->filePath("Zoemlijn.conf"));
}

void TestNumberMatcher::cleanup()
{
    SetSettingsFileForTesting(QString());
    QDir::setCurrent(m_previous);
}

void TestNumberMatcher::matches_data()
{
    QTest::addColumn<QString>("book");     // as the user wrote it
    QTest::addColumn<QString>("incoming"); // as the network sent it
    QTest::addColumn<QString>("type");     // its type of number
    QTest::addColumn<QString>("areaCode");
    QTest::addColumn<bool>("match");

    // International (1): the country code and the number.
    QTest::newRow("intl / national with trunk") << "0301234567" << "31301234567" << "1" << "30" << true;
    QTest::newRow("intl / international prefix") << "0031301234567" << "31301234567" << "1" << "30" << true;
    QTest::newRow("intl / (0), blanks, dashes, dots") << "+31 (0)30-123.45.67" << "31301234567" << "1" << "30" << true;
    QTest::newRow("intl / local without area") << "1234567" << "31301234567" << "1" << "30" << true;
    QTest::newRow("intl / national without trunk") << "301234567" << "31301234567" << "1" << "" << true;
    QTest::newRow("intl / foreign number") << "0049 30 123456" << "4930123456" << "1" << "30" << true;
    QTest::newRow("intl / not: other country") << "0301234567" << "32301234567" << "1" << "30" << false;
    QTest::newRow("intl / not: local in another area") << "1234567" << "31201234567" << "1" << "30" << false;
    QTest::newRow("intl / not: one digit more") << "03012345678" << "31301234567" << "1" << "30" << false;

    // National (2): the number without trunk prefix.
    QTest::newRow("natl / national with trunk") << "030 1234567" << "301234567" << "2" << "30" << true;
    QTest::newRow("natl / sent with its trunk prefix") << "0301234567" << "0301234567" << "2" << "30" << true;
    QTest::newRow("natl / not: foreign") << "+32301234567" << "301234567" << "2" << "30" << false;

    // Subscriber (4): the number within the own area.
    QTest::newRow("subs / national with trunk") << "030-1234567" << "1234567" << "4" << "30" << true;
    QTest::newRow("subs / local") << "1234567" << "1234567" << "4" << "30" << true;
    QTest::newRow("subs / area code typed with trunk") << "+31301234567" << "1234567" << "4" << "030" << true;
    QTest::newRow("subs / not: other area") << "0201234567" << "1234567" << "4" << "30" << false;
    QTest::newRow("subs / not: no area code set") << "0301234567" << "1234567" << "4" << "" << false;

    // Unknown (0) and the rest: read as a user writes.
    QTest::newRow("unkn / national") << "+31301234567" << "0301234567" << "0" << "30" << true;
    QTest::newRow("unkn / international prefix") << "030 1234567" << "0031301234567" << "0" << "30" << true;
    QTest::newRow("unkn / no type at all") << "0301234567" << "0031301234567" << "" << "30" << true;
    QTest::newRow("unkn / network specific") << "0612345678" << "0612345678" << "3" << "30" << true;
    QTest::newRow("unkn / not: sent as international") << "0301234567" << "31301234567" << "0" << "30" << false;

    // What is no number never matches.
    QTest::newRow("not: empty book number") << "" << "31301234567" << "1" << "30" << false;
    QTest::newRow("not: letters") << "Kantoor" << "31301234567" << "1" << "30" << false;
    QTest::newRow("not: star and hash") << "*31#" << "*31#" << "0" << "30" << false;
}

void TestNumberMatcher::matches()
{
    QFETCH(QString, book);
    QFETCH(QString, incoming);
    QFETCH(QString, type);
    QFETCH(QString, areaCode);
    QFETCH(bool, match);
    const CNumberMatcher matcher(Rules(areaCode));
    const QString bookE164 = matcher.BookE164(book);
    const QString incomingE164 = matcher.IncomingE164(incoming, type);
    QCOMPARE(!bookE164.isEmpty() && bookE164 == incomingE164, match);
    // The lookup finds the book's number by one of the forms it asks for.
    if (match)
        QVERIFY2(matcher.WrittenForms(incomingE164).contains(CNumberMatcher::Clean(book)),
                 qPrintable(matcher.WrittenForms(incomingE164).join(u' ')));
}

void TestNumberMatcher::forBook_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("stored");
    QTest::newRow("own country, (0)") << "+31 (0)6 1234 5678" << "0612345678";
    QTest::newRow("extension dropped") << "+31 30 123 4567 x 89" << "0301234567";
    QTest::newRow("unparsable keeps its digits") << "+999 12" << "0099912";
    QTest::newRow("internal line as written") << "21" << "21";
}

void TestNumberMatcher::forBook()
{
    QFETCH(QString, written);
    QFETCH(QString, stored);
    QCOMPARE(CNumberMatcher(Rules()).ForBook(written), stored);
}

void TestNumberMatcher::lookupCaller_data()
{
    // The settings are read at each lookup: each row writes its own.
    QTest::addColumn<bool>("numberFormats");
    QTest::addColumn<uint>("countryCode");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("incoming");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("name"); // empty: not found

    QTest::newRow("off: only the key") << false << 31u << "31301234567" << "31301234567" << "1" << "";
    QTest::newRow("off: key as before") << false << 31u << "0201234567" << "201234567" << "2" << "Tweede";
    QTest::newRow("on: the key first, though an earlier record matches its form")
        << true << 31u << "+31 20 1234567" << "31201234567" << "1" << "Derde";
    QTest::newRow("on: the key finds a name line") << true << 31u << "Vierde" << "Vierde" << "0" << "Vierde";
    QTest::newRow("on: international to national") << true << 31u << "31301234567" << "31301234567" << "1" << "Eerste";
    QTest::newRow("on, another country: the same digits are foreign")
        << true << 32u << "31301234567" << "31301234567" << "1" << "";
    QTest::newRow("on: the first of two forms") << true << 31u << "31201234567" << "31201234567" << "1" << "Tweede";
    QTest::newRow("on: AddZero key, subscriber") << true << 31u << "01234567" << "1234567" << "4" << "Eerste";
    QTest::newRow("on: unknown caller") << true << 31u << "31309999999" << "31309999999" << "1" << "";
}

void TestNumberMatcher::lookupCaller()
{
    QFETCH(bool, numberFormats);
    QFETCH(uint, countryCode);
    QFETCH(QString, key);
    QFETCH(QString, incoming);
    QFETCH(QString, type);
    QFETCH(QString, name);
    QVERIFY(SavePhoneBook({
        {"030 123 45 67", "Eerste", "Wav-file", "a.wav"},
        {"0201234567", "Tweede", "", ""},
        {"+31 20 1234567", "Derde", "", ""},
        {"1", "Vierde", "MS-Access", ""},
    }));
    QVERIFY(WriteExtraInt(Extra::NumberFormats, numberFormats) && WriteExtraInt(Extra::CountryCode, countryCode) &&
            WriteExtraText(Extra::AreaCode, "30"));
    const PhoneBookEntry entry = LookupCaller(key, incoming, type);
    QCOMPARE(entry.result, name.isEmpty() ? LookupResult::NotFound : LookupResult::Found);
    QCOMPARE(entry.name, name);
}

void TestNumberMatcher::everyChangeIsSeen_data()
{
    QTest::addColumn<bool>("sameSize");
    QTest::addColumn<bool>("sameTime"); // the old modification time put back
    QTest::addColumn<bool>("atomic");   // replaced by a new file, as the page saves
    QTest::newRow("same size, same time, in place") << true << true << false;
    QTest::newRow("same size, in place") << true << false << false;
    QTest::newRow("other size, in place") << false << false << false;
    QTest::newRow("same size, same time, new file") << true << true << true;
}

void TestNumberMatcher::everyChangeIsSeen()
{
    QFETCH(bool, sameSize);
    QFETCH(bool, sameTime);
    QFETCH(bool, atomic);
    WriteInPlace("0201\r\nEerste\r\n\r\n\r\n");
    // Just written: read again at every lookup until it has settled.
    int parses = CPhoneBookIndex::ParseCount();
    QCOMPARE(LookupPhoneBook("0201").name, QString("Eerste"));
    QCOMPARE(LookupPhoneBook("0201").name, QString("Eerste"));
    QCOMPARE(CPhoneBookIndex::ParseCount(), parses + 2);
    // Settled: read once, then answered from the index.
    const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
    Age(old);
    parses = CPhoneBookIndex::ParseCount();
    QCOMPARE(LookupPhoneBook("0201").name, QString("Eerste"));
    QCOMPARE(LookupPhoneBook("0202").result, LookupResult::NotFound);
    QCOMPARE(LookupCaller("0201", "201", "2", Rules()).name, QString("Eerste"));
    QCOMPARE(CPhoneBookIndex::ParseCount(), parses + 1);
    // The change time is what tells a rewrite with the old time put back;
    // the kernel's clock for it moves in ticks of a few milliseconds.
    QThread::msleep(30);

    const QByteArray changed = sameSize ? "0201\r\nAndere\r\n\r\n\r\n" : "0201\r\nAnder\r\n\r\n\r\n";
    if (atomic)
        QVERIFY(recordfile::WriteAtomically(kPhoneBookFileName, changed));
    else
        WriteInPlace(changed);
    if (sameTime)
        Age(old);
    QCOMPARE(LookupPhoneBook("0201").name, QString(sameSize ? "Andere" : "Ander"));
    QCOMPARE(LookupCaller("0201", "201", "2", Rules()).name, QString(sameSize ? "Andere" : "Ander"));

    // The same name in another working directory is another file.
    QTemporaryDir other;
    QDir::setCurrent(other.path());
    QCOMPARE(LookupCaller("0201", "201", "2", Rules()).result, LookupResult::FileMissing);
}

QTEST_GUILESS_MAIN(TestNumberMatcher)
#include "TestNumberMatcher.moc"
