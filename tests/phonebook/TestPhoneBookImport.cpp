// Address books in and out: vCard and CSV files in the shapes Google
// Contacts, Apple Contacts, Android, Thunderbird and Outlook write them (made
// up from the formats' descriptions, with made-up people), what the import
// adds to the book and says, and an export that comes back unchanged.
#include "ContactsCsv.h"
#include "PhoneBookImport.h"
#include "VCardFile.h"

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

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray Utf16Le(const QString& text)
{
    QStringEncoder encoder(QStringEncoder::Utf16LE);
    return QByteArray("\xFF\xFE") + QByteArray(encoder.encode(text));
}

// Apple Contacts, vCard 3.0: grouped properties, a folded photo, lower-case
// type parameters, UTF-8.
const QByteArray kAppleVcf =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//macOS 13.0//EN\r\nN:J\xc3\xa4nsen;Bram;;;\r\n"
    "FN:Bram J\xc3\xa4nsen\r\nitem1.TEL;type=pref:+31201234567\r\nitem1.X-ABLabel:_$!<Mobile>!$_\r\n"
    "TEL;type=WORK;type=VOICE:(020) 765-4321\r\n"
    "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQEBAgGBgUGBwkIBwcH\r\n"
    " BwcICQsJCAgKCAcHCg0KCgsMDAwMBwkODw0MDgsMDAz/\r\nEND:VCARD\r\n";

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
    void readFile_data();
    void readFile();
    void csvRows_data();
    void csvRows();
    void forPhoneBook_data();
    void forPhoneBook();
    void newRecords_data();
    void newRecords();
    void roundTrip_data();
    void roundTrip();
    void exportWritesVCard4();

private:
    QTemporaryDir m_dir;
};

void TestPhoneBookImport::readFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // "<none>": no such file
    QTest::addColumn<Contacts>("contacts");
    QTest::addColumn<bool>("refused");

    const Contacts apple{{U("Bram Jänsen"), {"+31201234567", "(020) 765-4321"}}};
    QTest::newRow("Apple Contacts vCard 3.0") << "a.vcf" << kAppleVcf << apple << false;
    QTest::newRow("vCard in UTF-16 with byte-order mark") << "a.vcf" << Utf16Le(U(kAppleVcf)) << apple << false;
    // QUOTED-PRINTABLE UTF-8 with a soft line break, bare type parameters,
    // a contact with N only; the extension in capitals.
    QTest::newRow("Android vCard 2.1")
        << "A.VCF"
        << QByteArray("BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:"
                      "=C5=BB=C3=B3=C5=82=C4=87;=C5=81ukasz;;;\r\nFN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:"
                      "=C5=81ukasz =C5=BB=C3=B3=C5=82=\r\n=C4=87\r\nTEL;CELL:0612345679\r\nTEL;HOME:+48 22 123 45 67\r\n"
                      "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:2.1\r\nN:Bakker;Cor;van;;\r\nTEL;CELL;PREF:06-98765432\r\n"
                      "END:VCARD\r\n")
        << Contacts{{U("Łukasz Żółć"), {"0612345679", "+48 22 123 45 67"}}, {"Cor van Bakker", {"06-98765432"}}}
        << false;
    // tel: URIs, a quoted parameter holding a comma, a folded name, bare LF.
    QTest::newRow("Thunderbird vCard 4.0")
        << "a.vcf"
        << QByteArray("BEGIN:VCARD\nVERSION:4.0\nFN:Dirk Smit van de Gemeentelijke Dienst voor Zeer Lange Namen en "
                      "Nog W\n at Meer\nN:Smit;Dirk;;;\nTEL;TYPE=work;VALUE=TEXT:030-7654321\n"
                      "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+31-30-111-2233\nUID:7a5c1b2e-0000-4000-8000-000000000001\n"
                      "END:VCARD\n")
        << Contacts{{"Dirk Smit van de Gemeentelijke Dienst voor Zeer Lange Namen en Nog Wat Meer",
                     {"030-7654321", "+31-30-111-2233"}}}
        << false;
    // Windows-1252 without CHARSET, a quoted-printable address over two
    // lines, an agent's card inside.
    QTest::newRow("Outlook vCard 2.1")
        << "a.vcf"
        << QByteArray("BEGIN:VCARD\r\nVERSION:2.1\r\nN;LANGUAGE=nl:M\xfcller;Eva\r\nFN:Eva M\xfcller\r\n"
                      "TEL;WORK;VOICE:(030) 2345678\r\nTEL;CELL;VOICE:+49 171 1234567\r\n"
                      "LABEL;WORK;ENCODING=QUOTED-PRINTABLE:Straat 1=0D=0A=\r\nUtrecht\r\nAGENT:\r\nBEGIN:VCARD\r\n"
                      "VERSION:2.1\r\nFN:Secretariaat\r\nTEL:0309999999\r\nEND:VCARD\r\nEND:VCARD\r\n")
        << Contacts{{U("Eva Müller"), {"(030) 2345678", "+49 171 1234567"}}} << false;
    QTest::newRow("vCard escapes in FN, no number")
        << "a.vcf" << QByteArray("BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Smit\\, Jan\\; en\\\\zo\r\nEND:VCARD\r\n")
        << Contacts{{"Smit, Jan; en\\zo", {}}} << false;
    QTest::newRow("vCard without END: the card is dropped")
        << "a.vcf" << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Half\r\nTEL:0301234567\r\n") << Contacts{} << false;

    const QString googleOld =
        "Name,Given Name,Additional Name,Family Name,Yomi Name,Name Prefix,Name Suffix,Nickname,Birthday,Notes,"
        "Group Membership,Phone 1 - Type,Phone 1 - Value,Phone 2 - Type,Phone 2 - Value\r\n"
        "Anna de Vries,Anna,,de Vries,,,,,,,* myContacts,Mobile,+31 6 12345678 ::: +31 6 87654321,Home,030 123 4567\r\n"
        + U("René François,René,,François,,,,,,,* myContacts,Work,+33 1 23 45 67 89,,\r\n");
    QTest::newRow("Google CSV, old layout, UTF-16")
        << "a.csv" << Utf16Le(googleOld)
        << Contacts{{"Anna de Vries", {"+31 6 12345678", "+31 6 87654321", "030 123 4567"}},
                    {U("René François"), {"+33 1 23 45 67 89"}}}
        << false;
    QTest::newRow("Google CSV, new layout, quoted line break")
        << "a.csv"
        << QByteArray("First Name,Middle Name,Last Name,Phonetic First Name,Phonetic Last Name,Organization Name,"
                      "Notes,Labels,E-mail 1 - Label,E-mail 1 - Value,Phone 1 - Label,Phone 1 - Value\n"
                      "Bram,,Jansen,Brem,,\"Voorbeeld B.V., Zuid\",\"Twee regels\nnotitie\",* myContacts,* Home,"
                      "bram@example.org,Mobile,+31 20 1234567\n")
        << Contacts{{"Bram Jansen", {"+31 20 1234567"}}} << false;
    QTest::newRow("Outlook CSV, English, Windows-1252")
        << "a.csv"
        << QByteArray("\"First Name\",\"Middle Name\",\"Last Name\",\"Title\",\"Suffix\",\"Business Phone\","
                      "\"Home Phone\",\"Mobile Phone\",\"E-mail Address\"\r\n"
                      "\"Eva\",\"\",\"M\xfcller\",\"Dr.\",\"\",\"(030) 2345678\",\"\",\"+49 171 1234567\","
                      "\"eva@example.org\"\r\n")
        << Contacts{{U("Dr. Eva Müller"), {"(030) 2345678", "+49 171 1234567"}}} << false;
    QTest::newRow("Outlook CSV, Dutch, semicolons")
        << "a.csv"
        << QByteArray("Voornaam;Middelste naam;Achternaam;Telefoon op werk;Telefoon thuis;Mobiele telefoon\r\n"
                      "Jan;van;Dijk;;020-1234567;\r\n;;;;;0612340000\r\n")
        << Contacts{{"Jan van Dijk", {"020-1234567"}}, {"", {"0612340000"}}} << false;
    QTest::newRow("Thunderbird CSV, display name wins")
        << "a.csv"
        << QByteArray("First Name,Last Name,Display Name,Nickname,Primary Email,Secondary Email,Screen Name,"
                      "Work Phone,Home Phone,Fax Number,Pager Number,Mobile Number\r\n"
                      "Dirk,Smit,\"Smit, Dirk\",,dirk@example.org,,,030-7654321,,,,06 11 22 33 44\r\n,,,,,,,,,,,\r\n")
        << Contacts{{"Smit, Dirk", {"030-7654321", "06 11 22 33 44"}}} << false;

    QTest::newRow("other extension: a vCard by its contents") << "b.txt" << kAppleVcf << apple << false;
    QTest::newRow("other extension: a UTF-16 vCard by its contents") << "b.txt" << Utf16Le(U(kAppleVcf)) << apple
                                                                      << false;
    QTest::newRow("other extension: CSV by its contents")
        << "c.txt" << QByteArray("Name,Home Phone\nA,1\n") << Contacts{{"A", {"1"}}} << false;
    QTest::newRow("vcf without a card") << "d.vcf" << QByteArray("Name,Mobile Phone\nA,1\n") << Contacts{} << true;
    QTest::newRow("csv without telephone column")
        << "e.csv" << QByteArray("Name,E-mail\r\nAnna,anna@example.org\r\n") << Contacts{} << true;
    QTest::newRow("missing file") << "weg.vcf" << QByteArray("<none>") << Contacts{} << true;
}

void TestPhoneBookImport::readFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(Contacts, contacts);
    QFETCH(bool, refused);
    const QString path = m_dir.filePath(name);
    if (bytes != "<none>") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    Contacts read;
    QString error;
    QCOMPARE(CPhoneBookImport(Rules()).ReadFile(path, &read, &error), !refused);
    QCOMPARE(read, contacts);
    QVERIFY2(refused ? error.contains(path) : error.isEmpty(), qPrintable(error));
}

void TestPhoneBookImport::csvRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::newRow("quotes doubled") << "\"a \"\"b\"\"\",c\n" << QList<QStringList>{{"a \"b\"", "c"}};
    QTest::newRow("comma and CR LF inside quotes") << "\"a,\r\nb\",c\r\n" << QList<QStringList>{{"a,\r\nb", "c"}};
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
    QCOMPARE(CPhoneBookImport::ForPhoneBook(name), stored);
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
    // Names with 8-bit characters, commas, quotes and semicolons, and one
    // long enough to be folded; a foreign number, a service number, a number
    // without a name, a record without a number.
    const Records book{{"0301234567", U("Zoë \"Z\" Müller, jr.; €"), "", ""},
                       {"004930123456", "Hans", "", ""},
                       {"112", "Alarm", "", ""},
                       {"0612345678", "", "", ""},
                       {"", "Alleen naam", "", ""},
                       {"0201234567", "Een naam van meer dan vijfenzeventig tekens, zodat de regel gevouwen wordt", "",
                        ""}};
    Records numbered = book;
    numbered.removeAt(4);
    const QString path = m_dir.filePath(file), again = m_dir.filePath("weer-" + file);
    int written = 0;
    QString error;
    QVERIFY(CPhoneBookExport::WriteFile(path, book, Rules(), &written, &error));
    QCOMPARE(written, 5);

    const CPhoneBookImport import(Rules());
    Contacts contacts;
    QVERIFY2(import.ReadFile(path, &contacts, &error), qPrintable(error));
    // Into an empty book: the same numbers and names, in the same order;
    // into the book it came from: nothing.
    CPhoneBookImport::Summary summary;
    QCOMPARE(import.NewRecords({}, contacts, &summary), numbered);
    QCOMPARE(summary.namesChanged, 0);
    QCOMPARE(import.NewRecords(book, contacts, &summary), Records{});
    QCOMPARE(summary.alreadyThere, 5);
    // And out again: the same bytes.
    QVERIFY(CPhoneBookExport::WriteFile(again, numbered, Rules(), &written, &error));
    QCOMPARE(ReadAll(again), ReadAll(path));
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
    for (const QByteArray& line : folded.split('\n')) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8(line);
        QVERIFY2(line.size() <= 76 && !utf8.hasError(), line.toHex().constData()); // 76 with its CR
    }
    QCOMPARE(CVCardFile::Read(folded).value(0).name, longName);
}

QTEST_GUILESS_MAIN(TestPhoneBookImport)
#include "TestPhoneBookImport.moc"
