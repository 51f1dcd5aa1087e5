// Which sent text a clearing belongs to, with several calls in flight.
#include "SentTexts.h"

#include <QTest>

class TestSentTexts : public QObject
{
    Q_OBJECT

private slots:
    void clearingsFindTheirTexts_data();
    void clearingsFindTheirTexts();
    void flightIsBounded();
};

void TestSentTexts::clearingsFindTheirTexts_data()
{
    // Events: "send T" (the driver took text T), "conf INFO PLCI", "clear
    // PLCI", "lost" (the link lost its driver). Each clearing gives the
    // text found, with "*" when no text was sent after it, or "-".
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<int>("left");
    QTest::newRow("two in flight, cleared in order")
        << QStringList{"send een", "send twee", "conf 0 1", "conf 0 2", "clear 1", "clear 2"}
        << QStringList{"een", "twee*"} << 0;
    QTest::newRow("two in flight, the second cleared first")
        << QStringList{"send een", "conf 0 4", "send twee", "conf 0 7", "clear 7", "clear 4"}
        << QStringList{"twee*", "een"} << 0;
    QTest::newRow("a refused confirmation gives its text up, the next keeps its own")
        << QStringList{"send een", "send twee", "conf 0x2003 0", "conf 0 3", "clear 3"} << QStringList{"twee*"} << 0;
    QTest::newRow("a confirmation without PLCI places no call")
        << QStringList{"send een", "conf 0 0", "clear 0"} << QStringList{"-"} << 0;
    QTest::newRow("a clearing of a call nobody sent a text on")
        << QStringList{"send een", "conf 0 1", "clear 9"} << QStringList{"-"} << 1;
    QTest::newRow("a confirmation nobody waits for")
        << QStringList{"conf 0 1", "send een", "conf 0 2", "clear 1", "clear 2"} << QStringList{"-", "een*"} << 0;
    QTest::newRow("each clearing once")
        << QStringList{"send een", "conf 0 1", "clear 1", "clear 1"} << QStringList{"een*", "-"} << 0;
    QTest::newRow("a PLCI given again replaces a call whose clearing was lost")
        << QStringList{"send een", "conf 0 5", "send twee", "conf 0 5", "clear 5", "clear 5"}
        << QStringList{"twee*", "-"} << 0;
    QTest::newRow("the same PLCI for the next call after a clearing")
        << QStringList{"send een", "conf 0 1", "clear 1", "send twee", "conf 0 1", "clear 1"}
        << QStringList{"een*", "twee*"} << 0;
    QTest::newRow("the link lost its driver")
        << QStringList{"send een", "conf 0 1", "send twee", "lost", "clear 1", "conf 0 2", "clear 2"}
        << QStringList{"-", "-"} << 0;
}

void TestSentTexts::clearingsFindTheirTexts()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, found);
    QFETCH(int, left);
    CSentTexts texts;
    QStringList seen;
    for (const QString& event : events) {
        const QStringList words = event.split(u' ');
        if (words[0] == "send") {
            texts.Sent(QStringLiteral("0301"), words[1]);
        } else if (words[0] == "conf") {
            texts.Confirmed(uint16_t(words[1].toUInt(nullptr, 0)), uint8_t(words[2].toUInt()));
        } else if (words[0] == "clear") {
            const auto text = texts.Cleared(uint8_t(words[1].toUInt()));
            seen << (text ? text->text + (text->latest ? "*" : "") : QStringLiteral("-"));
            if (text)
                QCOMPARE(text->number, QStringLiteral("0301"));
        } else {
            texts.Clear();
        }
    }
    QCOMPARE(seen, found);
    QCOMPARE(texts.InFlight(), left);
}

void TestSentTexts::flightIsBounded()
{
    // A driver that never confirms: the oldest go, the newest stay matched.
    CSentTexts texts;
    for (int i = 0; i < 1000; ++i)
        texts.Sent(QStringLiteral("0301"), QString::number(i));
    QCOMPARE(texts.InFlight(), 32);
    texts.Confirmed(0, 1);
    const auto first = texts.Cleared(1);
    QVERIFY(first);
    QCOMPARE(first->text, QStringLiteral("968"));
}

QTEST_GUILESS_MAIN(TestSentTexts)
#include "TestSentTexts.moc"
