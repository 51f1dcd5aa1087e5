// The search over the call list: what it finds, in the list's order, and
// how it follows the list while it runs.
#include "CallListFilter.h"

#include <QAbstractItemModelTester>
#include <QTest>

namespace {

QStringList Shown(const CCallListFilter& filter)
{
    QStringList texts;
    for (int row = 0; row < filter.rowCount(); ++row)
        texts << filter.index(row, ColText).data().toString();
    return texts;
}

} // namespace

class TestCallListFilter : public QObject
{
    Q_OBJECT

private slots:
    void finds_data();
    void finds();
    void followsTheList();
};

void TestCallListFilter::finds_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("nothing typed: every row") << "" << QStringList{"Tot straks", "koffie?", "Bel me", "Groet"};
    QTest::newRow("part of a number") << "0302" << QStringList{"koffie?"};
    QTest::newRow("name, any case") << "kANTOOR" << QStringList{"Tot straks", "Groet"};
    QTest::newRow("text") << "bel" << QStringList{"Bel me"};
    QTest::newRow("accents do not count") << "cafe" << QStringList{"koffie?"};
    QTest::newRow("accents typed too") << "CAFÉ" << QStringList{"koffie?"};
    QTest::newRow("date") << "12/7/" << QStringList{"Bel me"};
    QTest::newRow("own number is not searched") << "0309" << QStringList();
    QTest::newRow("call type is not searched") << "unrestricted" << QStringList();
    QTest::newRow("not across two fields") << "kantoortot" << QStringList();
    QTest::newRow("no match") << "xyz" << QStringList();
}

void TestCallListFilter::finds()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, shown);
    CCallListModel list;
    list.InsertTop({"0301111111", "Kantoor", "Groet", "0309999999", "12/6/26", "9:05:07", "Unrestricted digital information"});
    list.InsertTop({"0303333333", "niet in tel.boek", "Bel me", "0309999999", "12/7/26", "9:06:00", "x"});
    list.InsertTop({"0302222222", QString::fromUtf8("Café Noord"), "koffie?", "0309999999", "12/6/26", "9:07:00", "x"});
    list.InsertTop({"0301111111", "Kantoor", "Tot straks", "0309999999", "12/6/26", "9:08:00", "x"});
    CCallListFilter filter(list);
    QAbstractItemModelTester tester(&filter, QAbstractItemModelTester::FailureReportingMode::QtTest);
    filter.SetText(typed);
    QCOMPARE(Shown(filter), shown);
}

void TestCallListFilter::followsTheList()
{
    CCallListModel list;
    list.SetRows({{"0301", "", "appel"}, {"0302", "", "peer"}, {"0303", "", "appeltaart"}});
    CCallListFilter filter(list);
    QAbstractItemModelTester tester(&filter, QAbstractItemModelTester::FailureReportingMode::QtTest);
    filter.SetText("appel");
    QCOMPARE(Shown(filter), (QStringList{"appel", "appeltaart"}));
    // New rows on top and removed ones, while the search runs.
    list.InsertTop({"0304", "", "appelsap"});
    list.InsertTop({"0305", "", "citroen"});
    QCOMPARE(Shown(filter), (QStringList{"appelsap", "appel", "appeltaart"}));
    list.RemoveRowAt(2); // "appel"
    QCOMPARE(Shown(filter), (QStringList{"appelsap", "appeltaart"}));
    QCOMPARE(filter.mapToSource(filter.index(1, 0)).row(), 3);
    filter.SetText("peer");
    QCOMPARE(Shown(filter), QStringList{"peer"});
    list.Clear();
    QCOMPARE(filter.rowCount(), 0);
    list.InsertTop({"0306", "", "peer"});
    QCOMPARE(Shown(filter), QStringList{"peer"});
}

QTEST_GUILESS_MAIN(TestCallListFilter)
#include "TestCallListFilter.moc"
