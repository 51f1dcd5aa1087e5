// Address books in and out: vCard and CSV files in the shapes Google
// Contacts, Apple Contacts, Android, Thunderbird and Outlook write them (made
// up from the formats' descriptions, with made-up people), what the import
// adds to the book and says, and an export that comes back unchanged.
#include "ContactsCsv.h"
#include "Cp1252.h"
#include "PhoneBookImport.h"
#include "VCardFile.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Contacts = QList<Contact>;
using Records = QList<PhoneBookRecord>;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

NumberRules Rules()
{
    NumberRules rules; // the defaults: country 31, prefixes 00 and 0
    rules.areaCode = QStringLiteral("30");
    return rules;
}

QByteArray Utf16Le(const QString& text)
{
    QStringEncoder encoder(QStringEncoder::Utf16LE);
    return QByteArray("\xFF\xFE") + QByteArray(encoder.encode(text));
}

// Google Contacts, vCard 3.0: FN and N, TYPE= parameters, two contacts.
const QByteArray kGoogleVcf = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna de Vries\r\nN:de Vries;Anna;;;\r\n"
                              "TEL;TYPE=CELL:+31 6 12345678\r\nTEL;TYPE=HOME:030 123 4567\r\n"
                              "EMAIL;TYPE=INTERNET:anna@example.org\r\nCATEGORIES:myContacts\r\nEND:VCARD\r\n"
                              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ren\xc3\xa9 Fran\xc3\xa7ois\r\n"
                              "N:Fran\xc3\xa7ois;Ren\xc3\xa9;;;\r\nTEL;TYPE=WORK:+33 1 23 45 67 89\r\nEND:VCARD\r\n";

// Apple Contacts, vCard 3.0: grouped properties, escaped comma, a folded
// photo, lower-case type parameters.
const QByteArray kAppleVcf =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//macOS 13.0//EN\r\nN:Jansen;Bram;;;\r\n"
    "FN:Bram Jansen\r\nORG:Voorbeeld B.V.\\, afdeling Zuid;\r\nitem1.TEL;type=pref:+31201234567\r\n"
    "item1.X-ABLabel:_$!<Mobile>!$_\r\nTEL;type=WORK;type=VOICE:(020) 765-4321\r\n"
    "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQEBAgGBgUGBwkIBwcH\r\n"
    " BwcICQsJCAgKCAcHCg0KCgsMDAwMBwkODw0MDgsMDAz/\r\nEND:VCARD\r\n";

// Android, vCard 2.1: QUOTED-PRINTABLE UTF-8 with a soft line break, bare
// type parameters, and a contact with N only.
const QByteArray kAndroidVcf =
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C5=BB=C3=B3=C5=82=C4=87;=C5=81ukasz;;;\r\n"
    "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C5=81ukasz =C5=BB=C3=B3=C5=82=\r\n=C4=87\r\n"
    "TEL;CELL:0612345679\r\nTEL;HOME:+48 22 123 45 67\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Bakker;Cor;van;;\r\nTEL;CELL;PREF:06-98765432\r\nEND:VCARD\r\n";

// Thunderbird, vCard 4.0: tel: URIs with VALUE=uri, a quoted parameter
// holding a comma, a name folded over two lines, bare LF line ends.
const QByteArray kThunderbirdVcf =
    "BEGIN:VCARD\nVERSION:4.0\nFN:Dirk Smit van de Gemeentelijke Dienst voor Zeer Lange Namen en Nog W\n"
    " at Meer\nN:Smit;Dirk;;;\nTEL;TYPE=work;VALUE=TEXT:030-7654321\n"
    "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+31-30-111-2233\nUID:7a5c1b2e-0000-4000-8000-000000000001\nEND:VCARD\n";

// Outlook, vCard 2.1: Windows-1252 without CHARSET, a LANGUAGE parameter,
// a quoted-printable address that runs over two lines.
const QByteArray kOutlookVcf = "BEGIN:VCARD\r\nVERSION:2.1\r\nN;LANGUAGE=nl:M\xfcller;Eva\r\nFN:Eva M\xfcller\r\n"
                               "TEL;WORK;VOICE:(030) 2345678\r\nTEL;CELL;VOICE:+49 171 1234567\r\n"
                               "LABEL;WORK;ENCODING=QUOTED-PRINTABLE:Straat 1=0D=0A=\r\nUtrecht\r\n"
                               "AGENT:\r\nBEGIN:VCARD\r\nVERSION:2.1\r\nFN:Secretariaat\r\nTEL:0309999999\r\nEND:VCARD\r\n"
                               "END:VCARD\r\n";

} // namespace

Q_DECLARE_METATYPE(Contact)
Q_DECLARE_METATYPE(PhoneBookRecord)

namespace QTest {
template <>
char* toString(const Contact& c)
{
    return qstrdup(QString("{%1|%2}").arg(c.name, c.numbers.join(u'|')).toUtf8());
}
template <>
char* toString(const PhoneBookRecord& r)
{
    return qstrdup(QString("{%1|%2|%3|%4}").arg(r.number, r.name, r.action, r.path).toUtf8());
}
} // namespace QTest

class TestPhoneBookImport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readVCard_data();
    void readVCard();
    void readCsv_data();
    void readCsv();
    void csvRows_data();
    void csvRows();
    void forPhoneBook_data();
    void forPhoneBook();
    void newRecords_data();
    void newRecords();
    void roundTrip_data();
    void roundTrip();
    void readFile_data();
    void readFile();
    void exportWritesVCard4();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPhoneBookImport::init() { m_dir = std::make_unique<QTemporaryDir>(); }

void TestPhoneBookImport::cleanup() { m_dir.reset(); }

void TestPhoneBookImport::readVCard_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Contacts>("contacts");
    QTest::newRow("Google Contacts 3.0")
        << kGoogleVcf
        << Contacts{{"Anna de Vries", {"+31 6 12345678", "030 123 4567"}}, {U("René François"), {"+33 1 23 45 67 89"}}};
    QTest::newRow("Apple Contacts 3.0")
        << kAppleVcf << Contacts{{"Bram Jansen", {"+31201234567", "(020) 765-4321"}}};
    QTest::newRow("Android 2.1 quoted-printable")
        << kAndroidVcf
        << Contacts{{U("Łukasz Żółć"), {"0612345679", "+48 22 123 45 67"}}, {"Cor van Bakker", {"06-98765432"}}};
    QTest::newRow("Thunderbird 4.0 folded")
        << kThunderbirdVcf
        << Contacts{{"Dirk Smit van de Gemeentelijke Dienst voor Zeer Lange Namen en Nog Wat Meer",
                     {"030-7654321", "+31-30-111-2233"}}};
    QTest::newRow("Outlook 2.1 Windows-1252, agent skipped")
        << kOutlookVcf << Contacts{{U("Eva Müller"), {"(030) 2345678", "+49 171 1234567"}}};
    QTest::newRow("UTF-16 with byte-order mark")
        << Utf16Le(QString::fromUtf8(kAppleVcf)) << Contacts{{"Bram Jansen", {"+31201234567", "(020) 765-4321"}}};
    QTest::newRow("escapes in FN, no number")
        << QByteArray("BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Smit\\, Jan\\; en\\\\zo\r\nEND:VCARD\r\n")
        << Contacts{{"Smit, Jan; en\\zo", {}}};
    QTest::newRow("no END: the card is dropped")
        << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Half\r\nTEL:0301234567\r\n") << Contacts{};
}

void TestPhoneBookImport::readVCard()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Contacts, contacts);
    bool isVCard = false;
    QCOMPARE(CVCardFile::Read(bytes, &isVCard), contacts);
    QVERIFY(isVCard);
}

void TestPhoneBookImport::readCsv_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("recognised");
    QTest::addColumn<Contacts>("contacts");

    const QString googleOld =
        "Name,Given Name,Additional Name,Family Name,Yomi Name,Name Prefix,Name Suffix,Nickname,Birthday,Notes,"
        "Group Membership,Phone 1 - Type,Phone 1 - Value,Phone 2 - Type,Phone 2 - Value\r\n"
        "Anna de Vries,Anna,,de Vries,,,,,,,* myContacts,Mobile,+31 6 12345678 ::: +31 6 87654321,Home,030 123 4567\r\n"
        + U("René François,René,,François,,,,,,,* myContacts,Work,+33 1 23 45 67 89,,\r\n");
    QTest::newRow("Google, old layout, UTF-16")
        << Utf16Le(googleOld) << true
        << Contacts{{"Anna de Vries", {"+31 6 12345678", "+31 6 87654321", "030 123 4567"}},
                    {U("René François"), {"+33 1 23 45 67 89"}}};
    QTest::newRow("Google, new layout, quoted line break")
        << QByteArray("First Name,Middle Name,Last Name,Phonetic First Name,Phonetic Last Name,Organization Name,"
                      "Notes,Labels,E-mail 1 - Label,E-mail 1 - Value,Phone 1 - Label,Phone 1 - Value\n"
                      "Bram,,Jansen,Brem,,\"Voorbeeld B.V., Zuid\",\"Twee regels\nnotitie\",* myContacts,* Home,"
                      "bram@example.org,Mobile,+31 20 1234567\n")
        << true << Contacts{{"Bram Jansen", {"+31 20 1234567"}}};
    QTest::newRow("Outlook, English, Windows-1252")
        << QByteArray("\"First Name\",\"Middle Name\",\"Last Name\",\"Title\",\"Suffix\",\"Business Phone\","
                      "\"Home Phone\",\"Mobile Phone\",\"E-mail Address\"\r\n"
                      "\"Eva\",\"\",\"M\xfcller\",\"Dr.\",\"\",\"(030) 2345678\",\"\",\"+49 171 1234567\","
                      "\"eva@example.org\"\r\n")
        << true << Contacts{{U("Dr. Eva Müller"), {"(030) 2345678", "+49 171 1234567"}}};
    QTest::newRow("Outlook, Dutch, semicolons")
        << QByteArray("Voornaam;Middelste naam;Achternaam;Telefoon op werk;Telefoon thuis;Mobiele telefoon\r\n"
                      "Jan;van;Dijk;;020-1234567;\r\n;;;;;0612340000\r\n")
        << true << Contacts{{"Jan van Dijk", {"020-1234567"}}, {"", {"0612340000"}}};
    QTest::newRow("Thunderbird, display name wins")
        << QByteArray("First Name,Last Name,Display Name,Nickname,Primary Email,Secondary Email,Screen Name,"
                      "Work Phone,Home Phone,Fax Number,Pager Number,Mobile Number\r\n"
                      "Dirk,Smit,\"Smit, Dirk\",,dirk@example.org,,,030-7654321,,,,06 11 22 33 44\r\n,,,,,,,,,,,\r\n")
        << true << Contacts{{"Smit, Dirk", {"030-7654321", "06 11 22 33 44"}}};
    QTest::newRow("no telephone column")
        << QByteArray("Name,E-mail\r\nAnna,anna@example.org\r\n") << false << Contacts{{"Anna", {}}};
}

void TestPhoneBookImport::readCsv()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, recognised);
    QFETCH(Contacts, contacts);
    bool found = !recognised;
    QCOMPARE(CContactsCsv::Read(bytes, &found), contacts);
    QCOMPARE(found, recognised);
}

void TestPhoneBookImport::csvRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::newRow("plain") << "a,b\r\nc,d" << QList<QStringList>{{"a", "b"}, {"c", "d"}};
    QTest::newRow("quotes doubled") << "\"a \"\"b\"\"\",c\n" << QList<QStringList>{{"a \"b\"", "c"}};
    QTest::newRow("comma and CR LF inside quotes") << "\"a,\r\nb\",c\r\n" << QList<QStringList>{{"a,\r\nb", "c"}};
    QTest::newRow("empty fields kept") << ",,\n" << QList<QStringList>{{"", "", ""}};
    QTest::newRow("blank lines skipped") << "a\n\n\nb\n" << QList<QStringList>{{"a"}, {"b"}};
    QTest::newRow("quote inside a field is text") << "a\"b,c\n" << QList<QStringList>{{"a\"b", "c"}};
    QTest::newRow("semicolons when the first line has more")
        << "a;b,c;d\ne;f\n" << QList<QStringList>{{"a", "b,c", "d"}, {"e", "f"}};
}

void TestPhoneBookImport::csvRows()
{
    QFETCH(QString, text);
    QFETCH(QList<QStringList>, rows);
    QCOMPARE(CContactsCsv::ParseRows(text), rows);
}

void TestPhoneBookImport::forPhoneBook_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("Windows-1252 keeps its own") << U("Zoë Müller-Ørsted €") << U("Zoë Müller-Ørsted €");
    QTest::newRow("Polish") << U("Łukasz Żółć") << U("Lukasz Zólc");
    QTest::newRow("Romanian comma below") << U("Ștefan Țară") << U("Stefan Tara");
    QTest::newRow("Hungarian double acute") << U("Erdős Ődön") << U("Erdos Odön");
    QTest::newRow("Croatian and Turkish") << U("Đurđa Işık") << U("Durda Isik");
    QTest::newRow("ligature") << U("ﬁets") << U("fiets");
    QTest::newRow("Greek and Cyrillic") << U("Αθηνά Иван") << U("????? ????");
    QTest::newRow("a character beyond 16 bits is one ?") << U("Jan 😀") << U("Jan ?");
    QTest::newRow("line breaks and tabs") << U("a\r\nb\tc") << U("a  b c");
}

void TestPhoneBookImport::forPhoneBook()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    const QString result = CPhoneBookImport::ForPhoneBook(name);
    QCOMPARE(result, stored);
    QCOMPARE(cp1252::Decode(cp1252::Encode(result)), result);
}

void TestPhoneBookImport::newRecords_data()
{
    QTest::addColumn<Records>("book");
    QTest::addColumn<Contacts>("contacts");
    QTest::addColumn<Records>("added");
    QTest::addColumn<QString>("summary");

    QTest::newRow("one record per number, national and international")
        << Records{} << Contacts{{"Anna", {"+31 6 12345678", "030 123 4567", "+49 30 123456"}}}
        << Records{{"0612345678", "Anna", "", ""}, {"0301234567", "Anna", "", ""}, {"004930123456", "Anna", "", ""}}
        << "3 nummers toegevoegd, 0 nummers stonden al in het telefoonboek, 0 namen aangepast.";
    QTest::newRow("numbers the book has, however written")
        << Records{{"0301234567", "Anna", "Wav-file", "a.wav"}, {"+31 6 12345678", "Bram", "", ""}}
        << Contacts{{"Anna de Vries", {"+31301234567", "06-12345678", "0207654321"}}}
        << Records{{"0207654321", "Anna de Vries", "", ""}}
        << "1 nummer toegevoegd, 2 nummers stonden al in het telefoonboek, 0 namen aangepast.";
    QTest::newRow("the same number twice in the file")
        << Records{} << Contacts{{"Anna", {"0301234567"}}, {"Anna (werk)", {"+31 30 123 45 67"}}}
        << Records{{"0301234567", "Anna", "", ""}}
        << "1 nummer toegevoegd, 1 nummer stond al in het telefoonboek, 0 namen aangepast.";
    QTest::newRow("names Windows-1252 cannot carry")
        << Records{} << Contacts{{U("Łukasz"), {"0612345679", "0612345670"}}, {U("Zoë"), {"0201111111"}},
                                 {U("Иван"), {"0301234567"}}}
        << Records{{"0612345679", "Lukasz", "", ""}, {"0612345670", "Lukasz", "", ""}, {"0201111111", U("Zoë"), "", ""},
                   {"0301234567", "????", "", ""}}
        << "4 nummers toegevoegd, 0 nummers stonden al in het telefoonboek, 2 namen aangepast.";
    QTest::newRow("a changed name whose numbers were all there is not counted")
        << Records{{"0612345679", "Lukasz", "", ""}} << Contacts{{U("Łukasz"), {"06 12345679"}}} << Records{}
        << "0 nummers toegevoegd, 1 nummer stond al in het telefoonboek, 0 namen aangepast.";
    QTest::newRow("service number kept, contact without numbers ignored")
        << Records{} << Contacts{{"Alarm", {"112"}}, {"Niemand", {}}, {"Leeg", {"  "}}}
        << Records{{"112", "Alarm", "", ""}}
        << "1 nummer toegevoegd, 0 nummers stonden al in het telefoonboek, 0 namen aangepast.";
}

void TestPhoneBookImport::newRecords()
{
    QFETCH(Records, book);
    QFETCH(Contacts, contacts);
    QFETCH(Records, added);
    QFETCH(QString, summary);
    CPhoneBookImport::Summary said;
    QCOMPARE(CPhoneBookImport(Rules()).NewRecords(book, contacts, &said), added);
    QCOMPARE(said.Text(), summary);
    QCOMPARE(said.added, int(added.size()));
}

void TestPhoneBookImport::roundTrip_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("vCard 4.0") << "uit.vcf";
    QTest::newRow("Google CSV") << "uit.csv";
}

void TestPhoneBookImport::roundTrip()
{
    QFETCH(QString, file);
    const QString path = m_dir->filePath(file);
    // A book as the page and the import keep numbers, names with 8-bit
    // characters, commas, quotes and semicolons, a service number, a
    // number without a name and a record without a number.
    const Records book{{"0301234567", U("Zoë \"Z\" Müller, jr.; €"), "Wav-file", "a.wav"},
                       {"004930123456", "Hans", "", ""},
                       {"112", "Alarm", "", ""},
                       {"0612345678", "", "", ""},
                       {"", "Alleen naam", "", ""},
                       {"0201234567", "Een naam van meer dan vijfenzeventig tekens, zodat de regel gevouwen wordt", "",
                        ""}};
    int written = 0;
    QString error;
    QVERIFY(CPhoneBookExport::WriteFile(path, book, Rules(), &written, &error));
    QCOMPARE(written, 5);

    const CPhoneBookImport import(Rules());
    QList<Contact> contacts;
    QVERIFY2(import.ReadFile(path, &contacts, &error), qPrintable(error));
    CPhoneBookImport::Summary summary;
    // Into an empty book: the same numbers and names, in the same order.
    Records expected;
    for (const PhoneBookRecord& record : book)
        if (!record.number.isEmpty())
            expected.append({record.number, record.name, "", ""});
    QCOMPARE(import.NewRecords({}, contacts, &summary), expected);
    QCOMPARE(summary.namesChanged, 0);
    // Into the book it came from: nothing.
    QCOMPARE(import.NewRecords(book, contacts, &summary), Records{});
    QCOMPARE(summary.alreadyThere, 5);
    // And out again: the same bytes.
    QFile first(path);
    QVERIFY(first.open(QIODevice::ReadOnly));
    const QByteArray bytes = first.readAll();
    const QString again = m_dir->filePath("weer-" + file);
    QVERIFY(CPhoneBookExport::WriteFile(again, expected, Rules(), &written, &error));
    QFile second(again);
    QVERIFY(second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), bytes);
}

void TestPhoneBookImport::readFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("contacts"); // -1: refused
    QTest::newRow("vcf") << "a.vcf" << kAppleVcf << 1;
    QTest::newRow("VCF in capitals") << "A.VCF" << kAndroidVcf << 2;
    QTest::newRow("csv") << "a.csv" << QByteArray("Name,Mobile Phone\nA,1\nB,2\n") << 2;
    QTest::newRow("other extension: a vCard by its contents") << "a.txt" << kGoogleVcf << 2;
    QTest::newRow("other extension: CSV by its contents") << "a.txt" << QByteArray("Name,Home Phone\nA,1\n") << 1;
    QTest::newRow("vcf without a card") << "a.vcf" << QByteArray("Name,Mobile Phone\nA,1\n") << -1;
    QTest::newRow("csv without telephone column") << "a.csv" << QByteArray("Name,E-mail\nA,a@b\n") << -1;
    QTest::newRow("empty csv") << "a.csv" << QByteArray() << -1;
    QTest::newRow("missing file") << "weg.vcf" << QByteArray("<none>") << -1;
}

void TestPhoneBookImport::readFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, contacts);
    const QString path = m_dir->filePath(name);
    if (bytes != "<none>") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QList<Contact> read;
    QString error;
    QCOMPARE(CPhoneBookImport(Rules()).ReadFile(path, &read, &error), contacts >= 0);
    QCOMPARE(int(read.size()), std::max(contacts, 0));
    QCOMPARE(error.isEmpty(), contacts >= 0);
    if (contacts < 0)
        QVERIFY2(error.contains(path), qPrintable(error));
}

void TestPhoneBookImport::exportWritesVCard4()
{
    const CNumberMatcher matcher(Rules());
    const QByteArray bytes = CVCardFile::Write(
        {{"0301234567", U("Zoë, \"de\" Vries"), "Stil", ""}, {"21", "Intern", "", ""}, {"", "Geen nummer", "", ""}},
        matcher);
    QCOMPARE(bytes, QByteArray("BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Zo\xc3\xab\\, \"de\" Vries\r\n"
                               "TEL;VALUE=uri:tel:+31301234567\r\nEND:VCARD\r\n"
                               "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Intern\r\nTEL;VALUE=text:21\r\nEND:VCARD\r\n"));
    // Lines of more than 75 octets are folded, never inside a character.
    const QString longName = QString(70, u'a') + U("ëëëëë");
    const QByteArray folded = CVCardFile::Write({{"0301234567", longName, "", ""}}, matcher);
    for (const QByteArray& line : folded.split('\n'))
        QVERIFY2(line.size() <= 76, line.constData()); // with its CR
    for (const QByteArray& line : folded.split('\n')) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8.decode(line);
        QVERIFY2(!utf8.hasError(), line.toHex().constData());
    }
    QCOMPARE(CVCardFile::Read(folded).value(0).name, longName);
}

QTEST_GUILESS_MAIN(TestPhoneBookImport)
#include "TestPhoneBookImport.moc"
