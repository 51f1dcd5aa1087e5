// What a phone-book entry's action text makes of a call.
#include "IncomingCall.h"

#include <QTest>

class TestIncomingCall : public QObject
{
    Q_OBJECT

private slots:
    void actionFor_data();
    void actionFor();
};

void TestIncomingCall::actionFor_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("action");
    QTest::newRow("Wav-file") << "Wav-file" << int(CallerAction::PlaySound);
    QTest::newRow("Programma") << "Programma" << int(CallerAction::OpenWithDesktop);
    QTest::newRow("MS-Access") << "MS-Access" << int(CallerAction::ShowMessage);
    QTest::newRow("Stil") << "Stil" << int(CallerAction::Silent);
    QTest::newRow("stil: case matters") << "stil" << int(CallerAction::None);
    QTest::newRow("Stil with a blank") << "Stil " << int(CallerAction::None);
    QTest::newRow("empty") << "" << int(CallerAction::None);
    QTest::newRow("any other text") << "Stilte" << int(CallerAction::None);
}

void TestIncomingCall::actionFor()
{
    QFETCH(QString, text);
    QFETCH(int, action);
    QCOMPARE(int(ActionFor(text)), action);
}

QTEST_GUILESS_MAIN(TestIncomingCall)
#include "TestIncomingCall.moc"
