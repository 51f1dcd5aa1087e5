// Binding a driver library that lacks an entry point: the library is used,
// and only what needs the missing name fails, with "not installed".
#include "CapiDriver.h"
#include "CapiLink.h"

#include <QTest>

class TestCapiBinding : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CapiBinding::ResetForTesting(); }
    void missingEntryPoint_data();
    void missingEntryPoint();
};

void TestCapiBinding::missingEntryPoint_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<bool>("hasProfile");
    QTest::addColumn<unsigned>("installed");
    QTest::newRow("without CAPI_GET_PROFILE") << ZL_STUB_WITHOUT_PROFILE << false << 0u;
    QTest::newRow("without CAPI_INSTALLED") << ZL_STUB_WITHOUT_INSTALLED << true << 0x1009u;
}

void TestCapiBinding::missingEntryPoint()
{
    QFETCH(QString, library);
    QFETCH(bool, hasProfile);
    QFETCH(unsigned, installed);
    CapiBinding::ResetForTesting();
    CapiBinding::SetLibraryNameForTesting(library.toStdString());
    std::string error;
    QVERIFY2(CapiBinding::Load(&error), error.c_str());
    QVERIFY(CapiBinding::IsBound());

    CCapiLink link;
    QVERIFY(link.RegisterCAPIAppl());
    QCOMPARE(link.LogLine(), std::string("RegisterCAPIAppl: ApplId = 3."));
    std::string text, l1, l2, l3;
    QVERIFY(link.GetCAPIManufacturer(text));
    QCOMPARE(text, std::string("Stub CAPI"));
    QVERIFY(link.GetCAPISerialNumber(text));
    QCOMPARE(text, std::string("CAPI serienummer is: 0000042"));
    QVERIFY(link.GetCAPIVersion(text));
    QCOMPARE(text, std::string("CAPI ver 2.0, Manufacturer number 1.0."));
    QCOMPARE(link.GetCAPIProfile(l1, l2, l3), hasProfile);
    if (hasProfile)
        QCOMPARE(l1, std::string("Aantal controllers: 1 ; B1 Proto: 0x0000"));
    else
        QCOMPARE(link.LogLine(), std::string("GetCAPIProfile: CAPI_GET_PROFILE failed, error 0x1009./n"));
    QCOMPARE(CapiBinding::Driver().Installed(), installed);
    QVERIFY(link.ReleaseCAPIAppl());
}

QTEST_GUILESS_MAIN(TestCapiBinding)
#include "TestCapiBinding.moc"
