// The delivery report for every reason a sent text's call can be cleared
// with, from the one table the window and zoemlijn-cli share.
#include "DisconnectReasons.h"

#include <QTest>

class TestDisconnectReasons : public QObject
{
    Q_OBJECT

private slots:
    void report_data();
    void report();
};

void TestDisconnectReasons::report_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("report");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("facility rejected: a Zoemlijn took it") << 0x349D << "Afgeleverd" << true;
    QTest::newRow("user busy") << 0x3491 << "Niet afgeleverd: in gesprek" << false;
    QTest::newRow("no user responding") << 0x3492 << "Niet afgeleverd: geen antwoord" << false;
    QTest::newRow("no answer, user alerted") << 0x3493 << "Niet afgeleverd: geen antwoord" << false;
    QTest::newRow("unallocated number") << 0x3481 << "Niet afgeleverd: nummer onbekend" << false;
    QTest::newRow("no route to network") << 0x3482 << "Niet afgeleverd: nummer onbekend" << false;
    QTest::newRow("invalid number format") << 0x349C << "Niet afgeleverd: nummer onbekend" << false;
    QTest::newRow("normal clearing") << 0x3490 << "Niet afgeleverd (0x3490)" << false;
    QTest::newRow("no cause") << 0x0000 << "Niet afgeleverd (0x0000)" << false;
    QTest::newRow("all bits") << 0xFFFF << "Niet afgeleverd (0xFFFF)" << false;
}

void TestDisconnectReasons::report()
{
    QFETCH(int, reason);
    QFETCH(QString, report);
    QFETCH(bool, delivered);
    QCOMPARE(QString::fromStdString(capi::DeliveryReport(uint16_t(reason))), report);
    const capi::DisconnectReasonRow* row = capi::FindDisconnectReason(uint16_t(reason));
    QCOMPARE(row != nullptr && row->delivered, delivered);
}

QTEST_GUILESS_MAIN(TestDisconnectReasons)
#include "TestDisconnectReasons.moc"
