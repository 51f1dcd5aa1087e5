#include "Cp1252.h"

#include <QTest>

class TestCp1252 : public QObject
{
    Q_OBJECT

private slots:
    void everyOctetRoundTrips();
    void knownCharacters();
    void unmappableBecomesQuestionMark();
    void displayHidesControls();
    void canEncodeAgreesWithEncode();
};

void TestCp1252::everyOctetRoundTrips()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = cp1252::Decode(all);
    QCOMPARE(text.size(), qsizetype(256));
    QCOMPARE(cp1252::Encode(text), all);
}

void TestCp1252::knownCharacters()
{
    QCOMPARE(cp1252::Decode("\x80\xe9\x9f\x85"), QString::fromUtf8("€éŸ…"));
    QCOMPARE(cp1252::Encode(QString::fromUtf8("€éŸ…")), QByteArray("\x80\xe9\x9f\x85"));
}

void TestCp1252::unmappableBecomesQuestionMark()
{
    QCOMPARE(cp1252::Encode(QString::fromUtf8("a☎b")), QByteArray("a?b"));
}

void TestCp1252::displayHidesControls()
{
    QCOMPARE(cp1252::ForDisplay(cp1252::Decode("a\x1b[31m\r\n\x81z")), QString::fromUtf8("a\uFFFD[31m\uFFFD\uFFFD\uFFFDz"));
    QCOMPARE(cp1252::ForDisplay("<b>vet</b>"), QString("<b>vet</b>"));
    QCOMPARE(cp1252::ControlsAsBlanks(cp1252::Decode("a\r\nVerz: x\t\x81\x7f\x80")), QString::fromUtf8("a  Verz: x   €"));
}

void TestCp1252::canEncodeAgreesWithEncode()
{
    // Every UTF-16 unit: accepted exactly when Encode keeps it.
    for (int u = 0; u <= 0xFFFF; ++u) {
        const QChar ch{char16_t(u)};
        const bool kept = u == '?' || cp1252::Encode(QString(ch)) != "?";
        if (cp1252::CanEncode(ch) != kept)
            QFAIL(qPrintable(QString("U+%1: CanEncode %2, Encode keeps %3")
                                 .arg(u, 4, 16, QLatin1Char('0'))
                                 .arg(cp1252::CanEncode(ch))
                                 .arg(kept)));
    }
    QVERIFY(!cp1252::CanEncode(QChar(0x80)));
    QVERIFY(cp1252::CanEncode(QChar(0x81)));
}

QTEST_APPLESS_MAIN(TestCp1252)
#include "TestCp1252.moc"
