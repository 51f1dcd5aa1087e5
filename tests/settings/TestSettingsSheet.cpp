// The settings sheet: which pages it builds and applies, the "Instellingen"
// boxes against the store, the driver queries of "Service", and Help.
#include "CMyPropertyPage1.h"
#include "CMyPropertyPage4.h"
#include "CMyPropertySheet.h"
#include "CapiDriver.h"
#include "CapiLink.h"
#include "DriverCall.h"
#include "FakePlatform.h"
#include "HelpCheck.h"
#include "SettingsStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

// Answers the four identity queries and counts them; the rest fails.
class CountingDriver final : public ICapiDriver
{
public:
    std::atomic<int> queries{0};
    std::atomic<unsigned> result{0};

    // Until Answer(), each query waits: a driver slow to say anything.
    void Hold()
    {
        std::lock_guard lock(m_mutex);
        m_held = true;
    }
    void Answer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_cv.notify_all();
    }

    unsigned Register(unsigned, unsigned, unsigned, unsigned, unsigned*) override { return 0x1009; }
    unsigned Release(unsigned) override { return 0x1009; }
    unsigned PutMessage(unsigned, const uint8_t*) override { return 0x1009; }
    unsigned GetMessage(unsigned, const uint8_t**, size_t*) override { return 0x1104; }
    unsigned WaitForSignal(unsigned) override { return 0; }
    unsigned WaitForSignalFor(unsigned, int) override { return 0x1104; }
    void Wake(unsigned) override {}
    unsigned Installed() override { return 0; }
    unsigned GetManufacturer(unsigned, char* buffer64) override
    {
        WaitUntilAnswered();
        ++queries;
        std::strcpy(buffer64, "Vlinder ISDN\xe9");
        return result;
    }
    unsigned GetVersion(unsigned, uint32_t version[4]) override
    {
        WaitUntilAnswered();
        ++queries;
        const uint32_t values[4] = {2, 0, 1, 10};
        std::memcpy(version, values, sizeof values);
        return result;
    }
    unsigned GetSerialNumber(unsigned, char* buffer8) override
    {
        WaitUntilAnswered();
        ++queries;
        std::strcpy(buffer8, "1234567");
        return result;
    }
    unsigned GetProfile(unsigned, uint8_t* buffer64) override
    {
        WaitUntilAnswered();
        ++queries;
        std::memset(buffer64, 0, 64);
        buffer64[0] = 1; // controllers
        buffer64[2] = 2; // B channels
        buffer64[8] = 3; // B1
        buffer64[12] = 1; // B2
        buffer64[16] = 1; // B3
        return result;
    }

private:
    void WaitUntilAnswered()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_held; });
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_held = false; // guarded by m_mutex
};

// A page that writes what the sheet does with it into a shared log.
class RecordingPage final : public CPropertyPage
{
public:
    RecordingPage(int number, QStringList* log, bool refuseLeave, bool failOk = false)
        : m_number(number), m_log(log), m_refuse(refuseLeave), m_failOk(failOk)
    {
    }
    void OnInitDialog() override { *m_log << QStringLiteral("init %1").arg(m_number); }
    bool OnKillActive() override
    {
        *m_log << QStringLiteral("leave %1").arg(m_number);
        return !m_refuse;
    }
    bool OnOK() override
    {
        *m_log << QStringLiteral("ok %1").arg(m_number);
        return !m_failOk;
    }

private:
    int m_number;
    QStringList* m_log;
    bool m_refuse;
    bool m_failOk;
};

// Not a 32-bit value, so every stored number stays distinct from it.
constexpr qint64 kMissing = -1;

// One record with bare LF line ends, which a rewrite turns into CR LF.
const QByteArray kBareLfPhoneBook("0201234567\nJan\n\n\n");

void WritePhoneBook(const QByteArray& bytes)
{
    QFile file(QStringLiteral("telefoonboek.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray PhoneBookBytes()
{
    QFile file(QStringLiteral("telefoonboek.dat"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class TestSettingsSheet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyTabInSight();
    void pagesBuiltAndApplied_data();
    void pagesBuiltAndApplied();
    void tabsAndAccessibleNames();
    void storedValueShownAndWritten_data();
    void storedValueShownAndWritten();
    void tickedBoxTakenOverWhenPageLeft();
    void cancelStoresNothing();
    void okWithoutSettingsPageKeepsSettings();
    void actionPageChoicesAreListsOnly();
    void serviceQueries_data();
    void serviceQueries();
    void serviceQueriedOncePerOpening();
    void serviceFieldsGreenOnBlack();
    void helpOpensHelpFileOrManual_data();
    void helpOpensHelpFileOrManual();
    void extraShownAndWritten_data();
    void extraShownAndWritten();
    void extraCancelStoresNothing();
    void extraMessagesShownAndWritten_data();
    void extraMessagesShownAndWritten();
    void extraMessagesCancelStoresNothing();
    void failedPhoneBookSaveKeepsTheSheetOpen();
    void serviceAnswersLate_data();
    void serviceAnswersLate();
    void serviceClosedBeforeTheAnswer();

private:
    static void Store(const char* name, qint64 value);
    static qint64 Stored(const char* name);
    static QCheckBox* Box(CMyPropertySheet& sheet, const char* name);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldDir;
    std::unique_ptr<FakePlatform> m_platform;
    QStringList ServiceFields(CMyPropertySheet& sheet) const;

    std::unique_ptr<CountingDriver> m_driver;
};

void TestSettingsSheet::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    SetSettingsFileForTesting(m_dir->filePath(QStringLiteral("Zoemlijn.conf")));
    // The phone-book page reads and writes its file in the working directory.
    m_oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    m_platform = std::make_unique<FakePlatform>();
    m_driver = std::make_unique<CountingDriver>();
    CapiBinding::SetDriverForTesting(nullptr);
}

void TestSettingsSheet::cleanup()
{
    // Queries left behind hold the driver: they end before it goes.
    m_driver->Answer();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    m_driver.reset();
    CCapiLink::SetDefaultBounds({});
    CapiBinding::SetDriverForTesting(nullptr);
    m_platform.reset();
    QDir::setCurrent(m_oldDir);
    SetSettingsFileForTesting(QString());
    m_dir.reset();
}

void TestSettingsSheet::Store(const char* name, qint64 value)
{
    if (value != kMissing)
        QVERIFY(WriteSettingInt(QString::fromLatin1(kSettingsSection), QString::fromLatin1(name), uint32_t(value)));
}

qint64 TestSettingsSheet::Stored(const char* name)
{
    const uint32_t missing = 0xDEADBEEF;
    const uint32_t value = ReadSettingInt(QString::fromLatin1(kSettingsSection), QString::fromLatin1(name), missing);
    return value == missing ? kMissing : qint64(value);
}

QCheckBox* TestSettingsSheet::Box(CMyPropertySheet& sheet, const char* name)
{
    return sheet.findChild<QCheckBox*>(QString::fromLatin1(name));
}

// Tabs shown in order (start page first), then OK, or OK refused by a page.
void TestSettingsSheet::everyTabInSight()
{
    // The fifth tab sits beside the others, not behind a scroll arrow.
    CMyPropertySheet sheet;
    sheet.show();
    QTabBar* bar = sheet.Tabs()->tabBar();
    QCOMPARE(bar->count(), 5);
    QVERIFY(bar->tabRect(4).right() < bar->width());
}

void TestSettingsSheet::pagesBuiltAndApplied_data()
{
    QTest::addColumn<QList<int>>("tabs");
    QTest::addColumn<int>("refusingPage");
    QTest::addColumn<int>("failingPage"); // cannot store its data
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("OK at once applies the start page only")
        << QList<int>{} << -1 << -1 << QStringList{"init 0", "leave 0", "ok 0"} << true;
    QTest::newRow("pages applied in page order, not in the order shown")
        << QList<int>{3, 1} << -1 << -1
        << QStringList{"init 0", "leave 0", "init 3", "leave 3", "init 1", "leave 1", "ok 0", "ok 1", "ok 3"} << true;
    QTest::newRow("a page shown twice is built once")
        << QList<int>{2, 0, 2} << -1 << -1
        << QStringList{"init 0", "leave 0", "init 2", "leave 2", "leave 0", "leave 2", "ok 0", "ok 2"} << true;
    QTest::newRow("a page that refuses to be left stays, and OK applies nothing")
        << QList<int>{1, 2} << 1 << -1 << QStringList{"init 0", "leave 0", "init 1", "leave 1", "leave 1"} << false;
    QTest::newRow("a page that cannot store keeps the sheet open, the later ones store nothing")
        << QList<int>{2} << -1 << 0 << QStringList{"init 0", "leave 0", "init 2", "leave 2", "ok 0"} << false;
    QTest::newRow("a later page that cannot store: the earlier ones have")
        << QList<int>{2} << -1 << 2 << QStringList{"init 0", "leave 0", "init 2", "leave 2", "ok 0", "ok 2"} << false;
}

void TestSettingsSheet::pagesBuiltAndApplied()
{
    QFETCH(QList<int>, tabs);
    QFETCH(int, refusingPage);
    QFETCH(int, failingPage);
    QFETCH(QStringList, log);
    QFETCH(bool, accepted);

    QStringList events;
    std::vector<CMyPropertySheet::PageDef> defs;
    for (int i = 0; i < 4; ++i)
        defs.push_back({QStringLiteral("Pagina %1").arg(i),
                        [i, &events, refusingPage, failingPage] {
                            return new RecordingPage(i, &events, i == refusingPage, i == failingPage);
                        }});
    CMyPropertySheet sheet(nullptr, std::move(defs), 0);
    for (int tab : tabs)
        sheet.Tabs()->setCurrentIndex(tab);
    if (refusingPage >= 0)
        QCOMPARE(sheet.Tabs()->currentIndex(), refusingPage);
    sheet.findChild<QPushButton*>("okButton")->click();

    QCOMPARE(events, log);
    QCOMPARE(sheet.result() == QDialog::Accepted, accepted);
}

void TestSettingsSheet::tabsAndAccessibleNames()
{
    CMyPropertySheet sheet;
    QCOMPARE(sheet.windowTitle(), QStringLiteral("Instellingen"));
    QStringList texts;
    for (int i = 0; i < sheet.PageCount(); ++i) {
        sheet.Tabs()->setCurrentIndex(i);
        QVERIFY(sheet.Page(i));
        texts << sheet.Tabs()->tabText(i);
        QCOMPARE(texts.last(), sheet.Page(i)->windowTitle());
    }
    QCOMPARE(texts, (QStringList{"Telefoonboek", "Aktie per gebelde MSM", "Instellingen", "Service", "Extra"}));

    QStringList buttons;
    for (const char* name : {"okButton", "cancelButton", "helpButton"})
        buttons << sheet.findChild<QPushButton*>(name)->text();
    QCOMPARE(buttons, (QStringList{"OK", "Annuleren", "Help"}));

    for (int i = CMyPropertySheet::kActionPage; i < sheet.PageCount(); ++i)
        for (QWidget* control : sheet.Page(i)->findChildren<QWidget*>()) {
            const bool hasOwnText = !qobject_cast<QLabel*>(control) || !qobject_cast<QLabel*>(control)->buddy();
            if (hasOwnText && !control->objectName().startsWith("qt_") && control->parent() == sheet.Page(i))
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }
}

void TestSettingsSheet::storedValueShownAndWritten_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("box");
    QTest::addColumn<qint64>("stored");
    QTest::addColumn<int>("shown");
    QTest::addColumn<qint64>("written");

    QTest::newRow("AutoSend missing: unticked, OK writes 0")
        << QByteArray("AutoSend") << QByteArray("autoSendCheckBox") << qint64(kMissing) << int(Qt::Unchecked) << qint64(0);
    QTest::newRow("AutoSend 1: ticked")
        << QByteArray("AutoSend") << QByteArray("autoSendCheckBox") << qint64(1) << int(Qt::Checked) << qint64(1);
    QTest::newRow("AutoSend 5: unticked, OK writes 0")
        << QByteArray("AutoSend") << QByteArray("autoSendCheckBox") << qint64(5) << int(Qt::Unchecked) << qint64(0);
    QTest::newRow("FastSend 2: partial, kept as it was")
        << QByteArray("FastSend") << QByteArray("fastSendCheckBox") << qint64(2) << int(Qt::PartiallyChecked) << qint64(2);
    QTest::newRow("FastSend 0: unticked")
        << QByteArray("FastSend") << QByteArray("fastSendCheckBox") << qint64(0) << int(Qt::Unchecked) << qint64(0);
    QTest::newRow("AddZero 1: ticked")
        << QByteArray("AddZero") << QByteArray("addZeroCheckBox") << qint64(1) << int(Qt::Checked) << qint64(1);
    QTest::newRow("AddZero largest number: unticked, OK writes 0")
        << QByteArray("AddZero") << QByteArray("addZeroCheckBox") << qint64(0xFFFFFFFF) << int(Qt::Unchecked) << qint64(0);
}

void TestSettingsSheet::storedValueShownAndWritten()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, box);
    QFETCH(qint64, stored);
    QFETCH(int, shown);
    QFETCH(qint64, written);

    Store(name.constData(), stored);
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    QCOMPARE(int(Box(sheet, box.constData())->checkState()), shown);
    sheet.accept();
    QCOMPARE(Stored(name.constData()), written);
}

void TestSettingsSheet::tickedBoxTakenOverWhenPageLeft()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    Box(sheet, "autoSendCheckBox")->click();
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
    sheet.accept();
    QCOMPARE(Stored("AutoSend"), 1);
    QCOMPARE(Stored("FastSend"), 0);
    QCOMPARE(Stored("AddZero"), 0);

    // A partial box clicked once is ticked, then an ordinary two-state box.
    Store("FastSend", 2);
    CMyPropertySheet again;
    again.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    QCheckBox* fastSend = Box(again, "fastSendCheckBox");
    fastSend->click();
    QCOMPARE(fastSend->checkState(), Qt::Checked);
    fastSend->click();
    fastSend->click();
    QCOMPARE(fastSend->checkState(), Qt::Checked);
    again.accept();
    QCOMPARE(Stored("FastSend"), 1);
}

void TestSettingsSheet::cancelStoresNothing()
{
    Store("AddZero", 1);
    WritePhoneBook(kBareLfPhoneBook);
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    for (const char* name : {"fastSendCheckBox", "autoSendCheckBox", "addZeroCheckBox"})
        Box(sheet, name)->click();
    sheet.findChild<QPushButton*>("cancelButton")->click();

    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QCOMPARE(Stored("FastSend"), kMissing);
    QCOMPARE(Stored("AutoSend"), kMissing);
    QCOMPARE(Stored("AddZero"), 1);
    QCOMPARE(PhoneBookBytes(), kBareLfPhoneBook);
}

void TestSettingsSheet::okWithoutSettingsPageKeepsSettings()
{
    Store("AutoSend", 5);
    WritePhoneBook(kBareLfPhoneBook);
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
    sheet.accept();
    QCOMPARE(Stored("AutoSend"), 5);
    QCOMPARE(Stored("FastSend"), kMissing);
    // The start page is always built, so OK always rewrites the phone book
    // (with its own line ends).
    QCOMPARE(PhoneBookBytes(), QByteArray("0201234567\r\nJan\r\n\r\n\r\n"));
}

void TestSettingsSheet::actionPageChoicesAreListsOnly()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kActionPage);
    for (int row = 1; row <= 4; ++row) {
        auto* combo = sheet.findChild<QComboBox*>(QStringLiteral("msm%1Combo").arg(row));
        QCOMPARE(combo->currentIndex(), -1);
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, (QStringList{"MS-Access", "Verstuur Email", "Verstuur SMS"}));
        QVERIFY(!sheet.findChild<QLineEdit*>(QStringLiteral("msm%1Edit").arg(row))->isEnabled());
    }
    QVERIFY(sheet.findChild<QComboBox*>("msm4Combo")->isEditable());
    sheet.findChild<QComboBox*>("msm1Combo")->setCurrentIndex(1);
    sheet.accept();
    QCOMPARE(QSettings(m_dir->filePath(QStringLiteral("Zoemlijn.conf")), QSettings::IniFormat).allKeys(), QStringList());
}

void TestSettingsSheet::serviceQueries_data()
{
    QTest::addColumn<bool>("bound");
    QTest::addColumn<unsigned>("result");
    QTest::addColumn<QStringList>("fields");

    const QString home = QString::fromLatin1(kHomePageAddress);
    QTest::newRow("driver answers")
        << true << 0u
        << QStringList{QStringLiteral("Vlinder ISDN\u00e9"), "CAPI serienummer is: 1234567",
                       "CAPI ver 2.0, Manufacturer number 1.a.", "Aantal controllers: 1 ; B1 Proto: 0x0003",
                       "Aantal B-kanalen: 2 ; B2 Proto: 0x0001", "Algemene opties: 0x0000 ; B3 Proto: 0x0001", home};
    QTest::newRow("driver queries fail: failure lines, profile empty")
        << true << 0x1009u
        << QStringList{QStringLiteral("Vlinder ISDN\u00e9"), "CAPI_GET_SERIAL_NUMBER failed, error 0x1009.",
                       "CAPI_GET_VERSION failed, error 0x1009.", "", "", "", home};
    QTest::newRow("no driver loaded: nothing asked, fields empty")
        << false << 0u << QStringList{"", "", "", "", "", "", home};
}

void TestSettingsSheet::serviceQueries()
{
    QFETCH(bool, bound);
    QFETCH(unsigned, result);
    QFETCH(QStringList, fields);

    m_driver->result = result;
    if (bound)
        CapiBinding::SetDriverForTesting(m_driver.get());
    QVERIFY(CapiBinding::IsBound() == bound);
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);

    // A driver that answers at once fills the page as it opens; a slower
    // one from the event loop.
    QTRY_COMPARE(ServiceFields(sheet), fields);
    QCOMPARE(m_driver->queries.load(), bound ? 4 : 0);
}

void TestSettingsSheet::serviceQueriedOncePerOpening()
{
    CapiBinding::SetDriverForTesting(m_driver.get());
    {
        CMyPropertySheet sheet;
        sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
        QTRY_COMPARE(m_driver->queries.load(), 4);
        sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
        sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
        QTest::qWait(100);
        QCOMPARE(m_driver->queries.load(), 4);
        sheet.accept();
    }
    CMyPropertySheet again;
    QCOMPARE(m_driver->queries.load(), 4);
    again.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
    QTRY_COMPARE(m_driver->queries.load(), 8);
}

void TestSettingsSheet::serviceFieldsGreenOnBlack()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
    const QList<QLineEdit*> fields = sheet.Page(CMyPropertySheet::kServicePage)->findChildren<QLineEdit*>();
    QCOMPARE(fields.size(), 7);
    for (QLineEdit* field : fields) {
        QCOMPARE(field->palette().color(QPalette::Text), QColor(0, 255, 0));
        QCOMPARE(field->palette().color(QPalette::Base), QColor(Qt::black));
    }
}

void TestSettingsSheet::helpOpensHelpFileOrManual_data()
{
    QTest::addColumn<bool>("helpFile");
    QTest::newRow("help file beside the program") << true;
    QTest::newRow("no help file: the manual") << false;
}

void TestSettingsSheet::helpOpensHelpFileOrManual()
{
    QFETCH(bool, helpFile);
    CheckHelpOpensHelpFileOrManual(m_dir->path(), *m_platform, helpFile, [] {
        CMyPropertySheet sheet;
        sheet.show();
        sheet.findChild<QPushButton*>("helpButton")->click();
    });
}

void TestSettingsSheet::extraShownAndWritten_data()
{
    QTest::addColumn<QStringList>("stored"); // NumberFormats and the four fields; "-": missing
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("typed"); // replaces a field; "-": left alone
    QTest::addColumn<QStringList>("written");

    const QStringList missing{"-", "-", "-", "-", "-"};
    const QStringList untouched{"-", "-", "-", "-", "-"};
    QTest::newRow("defaults shown, OK writes them")
        << missing << QStringList{"0", "31", "", "00", "0"} << untouched << QStringList{"0", "31", "", "00", "0"};
    QTest::newRow("stored values shown and kept")
        << QStringList{"1", "49", "30", "00", "0"} << QStringList{"1", "49", "30", "00", "0"} << untouched
        << QStringList{"1", "49", "30", "00", "0"};
    QTest::newRow("edited and switched on")
        << missing << QStringList{"0", "31", "", "00", "0"} << QStringList{"1", "32", "2", "011", ""}
        << QStringList{"1", "32", "2", "011", ""};
    QTest::newRow("country code emptied: the stored one stays")
        << QStringList{"0", "44", "-", "-", "-"} << QStringList{"0", "44", "", "00", "0"}
        << QStringList{"-", "", "-", "-", "-"} << QStringList{"0", "44", "", "00", "0"};
    QTest::newRow("letters are not typed")
        << missing << QStringList{"0", "31", "", "00", "0"} << QStringList{"-", "-", "3a0-", "-", "-"}
        << QStringList{"0", "31", "30", "00", "0"};
    QTest::newRow("NumberFormats 2 left as it is")
        << QStringList{"2", "-", "-", "-", "-"} << QStringList{"1", "31", "", "00", "0"} << untouched
        << QStringList{"2", "31", "", "00", "0"};
}

void TestSettingsSheet::extraShownAndWritten()
{
    QFETCH(QStringList, stored);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, written);
    const Extra keys[] = {Extra::NumberFormats, Extra::CountryCode, Extra::AreaCode, Extra::InternationalPrefix,
                          Extra::TrunkPrefix};
    for (int i = 0; i < 5; ++i) {
        if (stored[i] == "-")
            continue;
        if (ExtraKindOf(keys[i]) == ExtraKind::Number)
            QVERIFY(WriteExtraInt(keys[i], stored[i].toUInt()));
        else
            QVERIFY(WriteExtraText(keys[i], stored[i]));
    }
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    QCheckBox* box = Box(sheet, "numberFormatsCheckBox");
    const char* edits[] = {nullptr, "countryCodeEdit", "areaCodeEdit", "internationalPrefixEdit", "trunkPrefixEdit"};
    QStringList seen{box->isChecked() ? "1" : "0"};
    for (int i = 1; i < 5; ++i)
        seen << sheet.findChild<QLineEdit*>(edits[i])->text();
    QCOMPARE(seen, shown);

    if (typed[0] != "-" && (typed[0] == "1") != box->isChecked())
        box->click();
    for (int i = 1; i < 5; ++i) {
        if (typed[i] == "-")
            continue;
        QLineEdit* edit = sheet.findChild<QLineEdit*>(edits[i]);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, typed[i]);
    }
    // Taken over when the page is left, as on "Instellingen".
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kPhoneBookPage);
    sheet.accept();
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QStringList after;
    for (Extra key : keys)
        after << (ExtraKindOf(key) == ExtraKind::Number ? QString::number(ReadExtraInt(key)) : ReadExtraText(key));
    QCOMPARE(after, written);
    // The four values of "Capi settings" are not touched.
    QCOMPARE(Stored("FastSend"), kMissing);
    QCOMPARE(Stored("AddZero"), kMissing);
}

void TestSettingsSheet::extraCancelStoresNothing()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    Box(sheet, "numberFormatsCheckBox")->click();
    QTest::keyClicks(sheet.findChild<QLineEdit*>("areaCodeEdit"), "30");
    sheet.findChild<QPushButton*>("cancelButton")->click();
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QSettings raw(m_dir->filePath(QStringLiteral("Zoemlijn.conf")), QSettings::IniFormat);
    QCOMPARE(raw.allKeys(), QStringList());
}

void TestSettingsSheet::extraMessagesShownAndWritten_data()
{
    // "Notifications", "DeliveryReport", "TextHook"; "-" is missing or
    // untouched. `act`: "tick" clicks both boxes, "type X" types into the
    // field, "pick X" and "cancel" answer the "..." button's Open dialog.
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("act");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("dialogName"); // the Open dialog's initial name; "-": none opened
    QTest::newRow("defaults shown, OK writes them")
        << QStringList{"-", "-", "-"} << QStringList{"0", "0", ""} << QStringList() << QStringList{"0", "0", ""} << "-";
    QTest::newRow("stored values shown and kept")
        << QStringList{"1", "1", "/usr/bin/melder"} << QStringList{"1", "1", "/usr/bin/melder"} << QStringList()
        << QStringList{"1", "1", "/usr/bin/melder"} << "-";
    QTest::newRow("switched on and a program typed")
        << QStringList{"-", "-", "-"} << QStringList{"0", "0", ""} << QStringList{"tick", "type /opt/bij tekst"}
        << QStringList{"1", "1", "/opt/bij tekst"} << "-";
    QTest::newRow("switched off") << QStringList{"1", "1", "-"} << QStringList{"1", "1", ""} << QStringList{"tick"}
                                  << QStringList{"0", "0", ""} << "-";
    QTest::newRow("program picked") << QStringList{"-", "-", "-"} << QStringList{"0", "0", ""}
                                    << QStringList{"pick /usr/local/bin/melder"}
                                    << QStringList{"0", "0", "/usr/local/bin/melder"} << "*";
    QTest::newRow("picker cancelled: the field stays")
        << QStringList{"-", "-", "/usr/bin/melder"} << QStringList{"0", "0", "/usr/bin/melder"}
        << QStringList{"cancel"} << QStringList{"0", "0", "/usr/bin/melder"} << "/usr/bin/melder";
    QTest::newRow("2 left as it is") << QStringList{"2", "2", "-"} << QStringList{"1", "1", ""} << QStringList()
                                     << QStringList{"2", "2", ""} << "-";
}

void TestSettingsSheet::extraMessagesShownAndWritten()
{
    QFETCH(QStringList, stored);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, act);
    QFETCH(QStringList, written);
    QFETCH(QString, dialogName);
    if (stored[0] != "-")
        QVERIFY(WriteExtraInt(Extra::Notifications, stored[0].toUInt()));
    if (stored[1] != "-")
        QVERIFY(WriteExtraInt(Extra::DeliveryReport, stored[1].toUInt()));
    if (stored[2] != "-")
        QVERIFY(WriteExtraText(Extra::TextHook, stored[2]));
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    QCheckBox* notifications = Box(sheet, "notificationsCheckBox");
    QCheckBox* reports = Box(sheet, "deliveryReportCheckBox");
    auto* hook = sheet.findChild<QLineEdit*>("textHookEdit");
    QVERIFY(hook);
    QCOMPARE((QStringList{notifications->isChecked() ? "1" : "0", reports->isChecked() ? "1" : "0", hook->text()}),
             shown);

    for (const QString& step : act) {
        if (step == "tick") {
            notifications->click();
            reports->click();
        } else if (step.startsWith("type ")) {
            QTest::keyClicks(hook, step.mid(5));
        } else {
            if (step == "cancel")
                m_platform->QueueCancel();
            else
                m_platform->QueueFileName(step.mid(5));
            sheet.findChild<QPushButton*>("textHookButton")->click();
        }
    }
    QCOMPARE(m_platform->fileDialogs.empty(), dialogName == "-");
    if (!m_platform->fileDialogs.empty()) {
        QCOMPARE(m_platform->fileDialogs[0].save, false);
        QCOMPARE(m_platform->fileDialogs[0].initialName, dialogName);
    }
    sheet.findChild<QPushButton*>("okButton")->click();
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE((QStringList{QString::number(ReadExtraInt(Extra::Notifications)),
                          QString::number(ReadExtraInt(Extra::DeliveryReport)), ReadExtraText(Extra::TextHook)}),
             written);
    QCOMPARE(Stored("FastSend"), kMissing);
}

void TestSettingsSheet::extraMessagesCancelStoresNothing()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    Box(sheet, "notificationsCheckBox")->click();
    Box(sheet, "deliveryReportCheckBox")->click();
    QTest::keyClicks(sheet.findChild<QLineEdit*>("textHookEdit"), "/usr/bin/melder");
    m_platform->QueueFileName("/usr/local/bin/melder");
    sheet.findChild<QPushButton*>("textHookButton")->click();
    sheet.findChild<QPushButton*>("cancelButton")->click();
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QSettings raw(m_dir->filePath(QStringLiteral("Zoemlijn.conf")), QSettings::IniFormat);
    QCOMPARE(raw.allKeys(), QStringList());
}

void TestSettingsSheet::failedPhoneBookSaveKeepsTheSheetOpen()
{
    WritePhoneBook(kBareLfPhoneBook);
    CMyPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    Box(sheet, "autoSendCheckBox")->click();
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kPhoneBookPage);
    auto* page = static_cast<CMyPropertyPage1*>(sheet.Page(CMyPropertySheet::kPhoneBookPage));
    page->Model().InsertRecord(0, {"0301234567", "Nieuw", "Stil", ""});

    // The file cannot be written: a directory that is not empty took its
    // place (a read-only folder would not stop a test run as root).
    QVERIFY(QFile::remove("telefoonboek.dat"));
    QVERIFY(QDir().mkpath("telefoonboek.dat/bezet"));
    sheet.findChild<QPushButton*>("okButton")->click();
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages[0].startsWith("Telefoonboek file kon niet worden opgeslagen."));
    QVERIFY(sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QCOMPARE(page->Model().rowCount(), 2);
    // The pages after it stored nothing yet.
    QCOMPARE(Stored("AutoSend"), kMissing);

    // Tried again once the way is clear: everything is stored.
    QVERIFY(QDir("telefoonboek.dat").removeRecursively());
    sheet.findChild<QPushButton*>("okButton")->click();
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(!sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(PhoneBookBytes(), QByteArray("0301234567\r\nNieuw\r\nStil\r\n\r\n0201234567\r\nJan\r\n\r\n\r\n"));
    QCOMPARE(Stored("AutoSend"), 1);
}


QStringList TestSettingsSheet::ServiceFields(CMyPropertySheet& sheet) const
{
    QStringList shown;
    for (const char* name : {"manufacturerEdit", "serialNumberEdit", "versionEdit", "profileLine1Edit",
                             "profileLine2Edit", "profileLine3Edit", "homePageEdit"})
        shown << sheet.findChild<QLineEdit*>(name)->text();
    return shown;
}

void TestSettingsSheet::serviceAnswersLate_data()
{
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<bool>("answer"); // while the sheet is open
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("queries");
    QTest::newRow("answers within the bound fill their fields")
        << 3000 << true
        << QStringList{QStringLiteral("Vlinder ISDN\u00e9"), "CAPI serienummer is: 1234567",
                       "CAPI ver 2.0, Manufacturer number 1.a.", "Aantal controllers: 1 ; B1 Proto: 0x0003",
                       "Aantal B-kanalen: 2 ; B2 Proto: 0x0001", "Algemene opties: 0x0000 ; B3 Proto: 0x0001",
                       "eigen tekst"}
        << 4;
    // The manufacturer query stays stuck; the next ones are not queued
    // behind it and fail at once.
    QTest::newRow("no answer: failure lines, profile empty")
        << 200 << false
        << QStringList{"", "CAPI_GET_SERIAL_NUMBER failed, no answer within 200 ms.",
                       "CAPI_GET_VERSION failed, no answer within 200 ms.", "", "", "", "eigen tekst"}
        << 0;
}

void TestSettingsSheet::serviceAnswersLate()
{
    QFETCH(int, boundMs);
    QFETCH(bool, answer);
    QFETCH(QStringList, fields);
    QFETCH(int, queries);
    CCapiLink::SetDefaultBounds({5000, 3000, 2000, boundMs});
    CapiBinding::SetDriverForTesting(m_driver.get());
    m_driver->Hold();
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);

    // The page is up before the driver has said anything.
    QCOMPARE(ServiceFields(sheet), (QStringList{"", "", "", "", "", "", QString::fromLatin1(kHomePageAddress)}));
    // What the user types meanwhile is not overwritten by a late answer.
    sheet.findChild<QLineEdit*>("homePageEdit")->setText("eigen tekst");
    if (answer)
        m_driver->Answer();
    QTRY_COMPARE_WITH_TIMEOUT(ServiceFields(sheet), fields, 5000);
    QCOMPARE(m_driver->queries.load(), queries);
    QCOMPARE(m_platform->messages, QStringList());
}

void TestSettingsSheet::serviceClosedBeforeTheAnswer()
{
    CapiBinding::SetDriverForTesting(m_driver.get());
    m_driver->Hold();
    {
        CMyPropertySheet sheet;
        sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
        sheet.reject();
    }
    // The answer finds no page: nothing is shown, nothing more is asked.
    m_driver->Answer();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    QTest::qWait(50);
    QCOMPARE(m_driver->queries.load(), 1);
    QCOMPARE(m_platform->messages, QStringList());
}
QTEST_MAIN(TestSettingsSheet)
#include "TestSettingsSheet.moc"
