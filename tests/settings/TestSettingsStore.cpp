// The settings store: defaults, odd stored values, and no caching.
#include "SettingsStore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void emptyStoreReadsDefaults();
    void storedText_data();
    void storedText();
    void writeThenRead_data();
    void writeThenRead();
    void everyReadAsksTheStore();
    void extraReadAndWritten_data();
    void extraReadAndWritten();

private:
    QString Path() const { return m_dir->filePath("Zoemlijn.conf"); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSettingsStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    SetSettingsFileForTesting(Path());
}

void TestSettingsStore::cleanup() { SetSettingsFileForTesting(QString()); }

void TestSettingsStore::emptyStoreReadsDefaults()
{
    for (Setting key : {Setting::FirstStart, Setting::FastSend, Setting::AutoSend, Setting::AddZero})
        QCOMPARE(ReadSetting(key), 0u);
    QCOMPARE(ReadSettingInt("Capi settings", "FastSend", 7), 7u);
}

void TestSettingsStore::storedText_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<uint>("read");
    QTest::newRow("zero") << "0" << 0u;
    QTest::newRow("five") << "5" << 5u;
    QTest::newRow("largest 32-bit") << "4294967295" << 4294967295u;
    QTest::newRow("one past 32 bits") << "4294967296" << 99u;
    QTest::newRow("negative") << "-1" << 99u;
    QTest::newRow("text") << "ja" << 99u;
    QTest::newRow("hexadecimal") << "0x10" << 99u;
    QTest::newRow("leading blank") << " 1" << 99u;
    QTest::newRow("empty") << "" << 99u;
    QTest::newRow("eleven digits") << "00000000001" << 99u;
}

void TestSettingsStore::storedText()
{
    QFETCH(QString, stored);
    QFETCH(uint, read);
    {
        QSettings raw(Path(), QSettings::IniFormat);
        raw.setValue("Capi settings/AutoSend", stored);
    }
    QCOMPARE(ReadSettingInt("Capi settings", "AutoSend", 99), read);
}

void TestSettingsStore::writeThenRead_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("value");
    QTest::newRow("FirstStart 1") << int(Setting::FirstStart) << 1u;
    QTest::newRow("FastSend 5") << int(Setting::FastSend) << 5u;
    QTest::newRow("AutoSend 2") << int(Setting::AutoSend) << 2u;
    QTest::newRow("AddZero max") << int(Setting::AddZero) << 4294967295u;
}

void TestSettingsStore::writeThenRead()
{
    QFETCH(int, key);
    QFETCH(uint, value);
    QVERIFY(WriteSetting(Setting(key), value));
    QCOMPARE(ReadSetting(Setting(key)), value);
    // Stored where and as the user's store keeps it.
    QSettings raw(Path(), QSettings::IniFormat);
    QCOMPARE(raw.value("Capi settings/" + SettingName(Setting(key))).toString(), QString::number(value));
}

void TestSettingsStore::everyReadAsksTheStore()
{
    QVERIFY(WriteSetting(Setting::FastSend, 1));
    QCOMPARE(ReadSetting(Setting::FastSend), 1u);
    // Another writer (the settings sheet, another process) changes it.
    {
        QSettings raw(Path(), QSettings::IniFormat);
        raw.setValue("Capi settings/FastSend", 0);
    }
    QCOMPARE(ReadSetting(Setting::FastSend), 0u);
}

void TestSettingsStore::extraReadAndWritten_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("byDefault");
    QTest::addColumn<QString>("written"); // and read back as it is
    QTest::newRow("NumberFormats") << int(Extra::NumberFormats) << "NumberFormats" << "0" << "1";
    QTest::newRow("CountryCode") << int(Extra::CountryCode) << "CountryCode" << "31" << "49";
    QTest::newRow("AreaCode") << int(Extra::AreaCode) << "AreaCode" << "" << "30";
    QTest::newRow("InternationalPrefix keeps its zeros")
        << int(Extra::InternationalPrefix) << "InternationalPrefix" << "00" << "0011";
    QTest::newRow("TrunkPrefix emptied") << int(Extra::TrunkPrefix) << "TrunkPrefix" << "0" << "";
    QTest::newRow("Notifications") << int(Extra::Notifications) << "Notifications" << "0" << "1";
    QTest::newRow("DeliveryReport") << int(Extra::DeliveryReport) << "DeliveryReport" << "0" << "1";
    QTest::newRow("TextHook with blanks and 8-bit")
        << int(Extra::TextHook) << "TextHook" << "" << QString::fromUtf8("/usr/bin/x \"é\"");
}

void TestSettingsStore::extraReadAndWritten()
{
    QFETCH(int, key);
    QFETCH(QString, name);
    QFETCH(QString, byDefault);
    QFETCH(QString, written);
    const Extra extra = Extra(key);
    const bool number = ExtraKindOf(extra) == ExtraKind::Number;
    const auto read = [&] { return number ? QString::number(ReadExtraInt(extra)) : ReadExtraText(extra); };
    QCOMPARE(read(), byDefault);
    // Reading creates nothing.
    QCOMPARE(QSettings(Path(), QSettings::IniFormat).allKeys(), QStringList());
    QVERIFY(number ? WriteExtraInt(extra, written.toUInt()) : WriteExtraText(extra, written));
    QCOMPARE(read(), written);
    // In a group of its own: "Capi settings" keeps its four values and
    // nothing else.
    QSettings raw(Path(), QSettings::IniFormat);
    QCOMPARE(raw.allKeys(), QStringList{"Extra/" + name});
    QCOMPARE(raw.value("Extra/" + name).toString(), written);
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
