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
    void Hold() { Held(true); }
    void Answer() { Held(false); }

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
        Query();
        std::strcpy(buffer64, "Vlinder ISDN\xe9");
        return result;
    }
    unsigned GetVersion(unsigned, uint32_t version[4]) override
    {
        Query();
        const uint32_t values[4] = {2, 0, 1, 10};
        std::memcpy(version, values, sizeof values);
        return result;
    }
    unsigned GetSerialNumber(unsigned, char* buffer8) override
    {
        Query();
        std::strcpy(buffer8, "1234567");
        return result;
    }
    unsigned GetProfile(unsigned, uint8_t* buffer64) override
    {
        Query();
        std::memset(buffer64, 0, 64);
        buffer64[0] = 1; // controllers
        buffer64[2] = 2; // B channels
        buffer64[8] = 3; // B1
        buffer64[12] = 1; // B2
        buffer64[16] = 1; // B3
        return result;
    }

private:
    void Query()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_held; });
        ++queries;
    }
    void Held(bool held)
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = held;
        }
        m_cv.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_held = false; // guarded by m_mutex
};

// A page that writes what the sheet does with it into a shared log.
class RecordingPage final : public CPropertyPage
{
public:
    RecordingPage(int number, QStringList* log, bool refuseLeave) : m_number(number), m_log(log), m_refuse(refuseLeave) {}
    void OnInitDialog() override { *m_log << QStringLiteral("init %1").arg(m_number); }
    bool OnKillActive() override
    {
        *m_log << QStringLiteral("leave %1").arg(m_number);
        return !m_refuse;
    }
    bool OnOK() override
    {
        *m_log << QStringLiteral("ok %1").arg(m_number);
        return true;
    }

private:
    int m_number;
    QStringList* m_log;
    bool m_refuse;
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

QStringList ServiceFields(CMyPropertySheet& sheet)
{
    QStringList shown;
    for (const char* name : {"manufacturerEdit", "serialNumberEdit", "versionEdit", "profileLine1Edit",
                             "profileLine2Edit", "profileLine3Edit", "homePageEdit"})
        shown << sheet.findChild<QLineEdit*>(name)->text();
    return shown;
}

// The Extra tab's fields, with what each shows and OK writes when nothing
// is stored.
struct ExtraField
{
    Extra key;
    const char* widget;
    const char* byDefault;
};
const ExtraField kExtraFields[] = {
    {Extra::NumberFormats, "numberFormatsCheckBox", "0"},
    {Extra::CountryCode, "countryCodeEdit", "31"},
    {Extra::AreaCode, "areaCodeEdit", ""},
    {Extra::InternationalPrefix, "internationalPrefixEdit", "00"},
    {Extra::TrunkPrefix, "trunkPrefixEdit", "0"},
    {Extra::Notifications, "notificationsCheckBox", "0"},
    {Extra::DeliveryReport, "deliveryReportCheckBox", "0"},
    {Extra::TextHook, "textHookEdit", ""},
};

// Every Extra field, a box as "1" or "0": as the tab shows it, or as stored.
QStringList ExtraValues(QWidget* sheet)
{
    QStringList values;
    for (const ExtraField& field : kExtraFields) {
        if (!sheet)
            values << (ExtraKindOf(field.key) == ExtraKind::Number ? QString::number(ReadExtraInt(field.key))
                                                                    : ReadExtraText(field.key));
        else if (auto* box = sheet->findChild<QCheckBox*>(field.widget))
            values << (box->isChecked() ? "1" : "0");
        else
            values << sheet->findChild<QLineEdit*>(field.widget)->text();
    }
    return values;
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
    void helpOpensHelpFileOrManual();
    void extraShownAndWritten_data();
    void extraShownAndWritten();
    void extraCancelStoresNothing();
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

// The fifth tab sits beside the others, not behind a scroll arrow.
void TestSettingsSheet::everyTabInSight()
{
    CMyPropertySheet sheet;
    sheet.show();
    QTabBar* bar = sheet.Tabs()->tabBar();
    QCOMPARE(bar->count(), 5);
    QVERIFY(bar->tabRect(4).right() < bar->width());
}

// Tabs shown in order (start page first), then OK, or OK refused by a page.
void TestSettingsSheet::pagesBuiltAndApplied_data()
{
    QTest::addColumn<QList<int>>("tabs");
    QTest::addColumn<int>("refusingPage");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("OK at once applies the start page only")
        << QList<int>{} << -1 << QStringList{"init 0", "leave 0", "ok 0"} << true;
    QTest::newRow("pages applied in page order, not in the order shown")
        << QList<int>{3, 1} << -1
        << QStringList{"init 0", "leave 0", "init 3", "leave 3", "init 1", "leave 1", "ok 0", "ok 1", "ok 3"} << true;
    QTest::newRow("a page shown twice is built once")
        << QList<int>{2, 0, 2} << -1
        << QStringList{"init 0", "leave 0", "init 2", "leave 2", "leave 0", "leave 2", "ok 0", "ok 2"} << true;
    QTest::newRow("a page that refuses to be left stays, and OK applies nothing")
        << QList<int>{1, 2} << 1 << QStringList{"init 0", "leave 0", "init 1", "leave 1", "leave 1"} << false;
}

void TestSettingsSheet::pagesBuiltAndApplied()
{
    QFETCH(QList<int>, tabs);
    QFETCH(int, refusingPage);
    QFETCH(QStringList, log);
    QFETCH(bool, accepted);

    QStringList events;
    std::vector<CMyPropertySheet::PageDef> defs;
    for (int i = 0; i < 4; ++i)
        defs.push_back({QStringLiteral("Pagina %1").arg(i),
                        [i, &events, refusingPage] { return new RecordingPage(i, &events, i == refusingPage); }});
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

void TestSettingsSheet::helpOpensHelpFileOrManual()
{
    CheckHelpOpensHelpFileOrManual(m_dir->path(), *m_platform, [] {
        CMyPropertySheet sheet;
        sheet.show();
        sheet.findChild<QPushButton*>("helpButton")->click();
        QVERIFY(sheet.isVisible());
    });
}

void TestSettingsSheet::extraShownAndWritten_data()
{
    // One field per row, the others left at their defaults. `act`: "click"
    // the box, "type X" in place of the text, "pick X" or "cancel" in the
    // Open dialog of the program's "..." button.
    QTest::addColumn<int>("field"); // into kExtraFields
    QTest::addColumn<QString>("stored"); // "-": missing
    QTest::addColumn<QString>("act");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("written");
    QTest::newRow("nothing stored: defaults shown, OK writes them") << 0 << "-" << "" << "0" << "0";
    QTest::newRow("NumberFormats switched on") << 0 << "-" << "click" << "0" << "1";
    QTest::newRow("NumberFormats 2 left as it is") << 0 << "2" << "" << "1" << "2";
    QTest::newRow("CountryCode emptied: the stored one stays") << 1 << "44" << "type " << "44" << "44";
    QTest::newRow("AreaCode: letters are not typed") << 2 << "-" << "type 3a0-" << "" << "30";
    QTest::newRow("InternationalPrefix typed") << 3 << "-" << "type 011" << "00" << "011";
    QTest::newRow("TrunkPrefix emptied") << 4 << "-" << "type " << "0" << "";
    QTest::newRow("Notifications switched on") << 5 << "-" << "click" << "0" << "1";
    QTest::newRow("DeliveryReport 1 switched off") << 6 << "1" << "click" << "1" << "0";
    QTest::newRow("TextHook typed") << 7 << "-" << "type /opt/bij tekst" << "" << "/opt/bij tekst";
    QTest::newRow("TextHook picked") << 7 << "-" << "pick /usr/local/bin/melder" << "" << "/usr/local/bin/melder";
    QTest::newRow("TextHook picker cancelled: the field stays")
        << 7 << "/usr/bin/melder" << "cancel" << "/usr/bin/melder" << "/usr/bin/melder";
}

void TestSettingsSheet::extraShownAndWritten()
{
    QFETCH(int, field);
    QFETCH(QString, stored);
    QFETCH(QString, act);
    QFETCH(QString, shown);
    QFETCH(QString, written);
    const ExtraField& row = kExtraFields[field];
    if (stored != "-")
        QVERIFY(ExtraKindOf(row.key) == ExtraKind::Number ? WriteExtraInt(row.key, stored.toUInt())
                                                           : WriteExtraText(row.key, stored));
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    QStringList expected;
    for (const ExtraField& each : kExtraFields)
        expected << QString::fromLatin1(each.byDefault);
    expected[field] = shown;
    QCOMPARE(ExtraValues(&sheet), expected);

    auto* edit = sheet.findChild<QLineEdit*>(row.widget);
    if (act == "click") {
        Box(sheet, row.widget)->click();
    } else if (act.startsWith("type ")) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, act.mid(5));
    } else if (!act.isEmpty()) {
        act == "cancel" ? m_platform->QueueCancel() : m_platform->QueueFileName(act.mid(5));
        sheet.findChild<QPushButton*>("textHookButton")->click();
        QCOMPARE(m_platform->fileDialogs.size(), size_t(1));
        QCOMPARE(m_platform->fileDialogs[0].save, false);
        QCOMPARE(m_platform->fileDialogs[0].initialName, shown.isEmpty() ? QString("*") : shown);
    }
    sheet.findChild<QPushButton*>("okButton")->click();
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    expected[field] = written;
    QCOMPARE(ExtraValues(nullptr), expected);
    // "Capi settings" is not touched.
    QCOMPARE(QSettings(m_dir->filePath("Zoemlijn.conf"), QSettings::IniFormat).childGroups(), QStringList{"Extra"});
}

void TestSettingsSheet::extraCancelStoresNothing()
{
    CMyPropertySheet sheet;
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kExtraPage);
    for (const ExtraField& field : kExtraFields) {
        if (QCheckBox* box = Box(sheet, field.widget))
            box->click();
        else
            QTest::keyClicks(sheet.findChild<QLineEdit*>(field.widget), "1");
    }
    m_platform->QueueFileName("/usr/local/bin/melder");
    sheet.findChild<QPushButton*>("textHookButton")->click();
    sheet.findChild<QPushButton*>("cancelButton")->click();
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QCOMPARE(QSettings(m_dir->filePath("Zoemlijn.conf"), QSettings::IniFormat).allKeys(), QStringList());
}

void TestSettingsSheet::failedPhoneBookSaveKeepsTheSheetOpen()
{
    WritePhoneBook(kBareLfPhoneBook);
    CMyPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kSettingsPage);
    Box(sheet, "autoSendCheckBox")->click();
    auto* page = static_cast<CMyPropertyPage1*>(sheet.Page(CMyPropertySheet::kPhoneBookPage));
    page->Model().InsertRecord(0, {"0301234567", "Nieuw", "Stil", ""});

    // The file cannot be written: a directory that is not empty took its
    // place (a read-only folder would not stop a test run as root).
    QVERIFY(QFile::remove("telefoonboek.dat"));
    QVERIFY(QDir().mkpath("telefoonboek.dat/bezet"));
    auto* ok = sheet.findChild<QPushButton*>("okButton");
    ok->click();
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages[0].startsWith("Telefoonboek file kon niet worden opgeslagen."));
    QVERIFY(sheet.isVisible());
    QCOMPARE(page->Model().rowCount(), 2);
    QCOMPARE(Stored("AutoSend"), kMissing); // the pages after it wait

    // Tried again once the way is clear: everything is stored.
    QVERIFY(QDir("telefoonboek.dat").removeRecursively());
    ok->click();
    QCOMPARE(m_platform->messages.size(), 1);
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(PhoneBookBytes(), QByteArray("0301234567\r\nNieuw\r\nStil\r\n\r\n0201234567\r\nJan\r\n\r\n\r\n"));
    QCOMPARE(Stored("AutoSend"), 1);
}

void TestSettingsSheet::serviceAnswersLate_data()
{
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<bool>("answer"); // while the sheet is open
    QTest::addColumn<QStringList>("fields");
    QTest::newRow("answers within the bound fill their fields")
        << 3000 << true
        << QStringList{QStringLiteral("Vlinder ISDN\u00e9"), "CAPI serienummer is: 1234567",
                       "CAPI ver 2.0, Manufacturer number 1.a.", "Aantal controllers: 1 ; B1 Proto: 0x0003",
                       "Aantal B-kanalen: 2 ; B2 Proto: 0x0001", "Algemene opties: 0x0000 ; B3 Proto: 0x0001",
                       "eigen tekst"};
    // The manufacturer query stays stuck; the next ones are not queued
    // behind it and fail at once.
    QTest::newRow("no answer: failure lines, profile empty")
        << 200 << false
        << QStringList{"", "CAPI_GET_SERIAL_NUMBER failed, no answer within 200 ms.",
                       "CAPI_GET_VERSION failed, no answer within 200 ms.", "", "", "", "eigen tekst"};
}

void TestSettingsSheet::serviceAnswersLate()
{
    QFETCH(int, boundMs);
    QFETCH(bool, answer);
    QFETCH(QStringList, fields);
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
    QCOMPARE(m_platform->messages, QStringList());
}

void TestSettingsSheet::serviceClosedBeforeTheAnswer()
{
    CapiBinding::SetDriverForTesting(m_driver.get());
    m_driver->Hold();
    {
        CMyPropertySheet sheet;
        sheet.Tabs()->setCurrentIndex(CMyPropertySheet::kServicePage);
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
