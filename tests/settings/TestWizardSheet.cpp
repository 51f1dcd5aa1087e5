// The first-start wizard: what Next, Back, Finish and Cancel store, and the
// buttons each page shows.
#include "CWizardPage1.h"
#include "CWizardPage2.h"
#include "CWizardSheet.h"
#include "FakePlatform.h"
#include "HelpCheck.h"
#include "SettingsStore.h"

#include <QAbstractButton>
#include <QDir>
#include <QLabel>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kMissing = -1;

void Store(const char* name, int value)
{
    if (value != kMissing)
        WriteSettingInt(QString::fromLatin1(kSettingsSection), QString::fromLatin1(name), uint32_t(value));
}

int Stored(const char* name)
{
    const uint32_t missing = 0xDEADBEEF;
    const uint32_t value = ReadSettingInt(QString::fromLatin1(kSettingsSection), QString::fromLatin1(name), missing);
    return value == missing ? kMissing : int(value);
}

} // namespace

class TestWizardSheet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answersStored_data();
    void answersStored();
    void buttonsPerPage_data();
    void buttonsPerPage();
    void everyOpeningStartsUnanswered();
    void pictureOnEveryPage();
    void helpOpensHelpFileOrManual();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakePlatform> m_platform;
};

void TestWizardSheet::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    SetSettingsFileForTesting(m_dir->filePath(QStringLiteral("Zoemlijn.conf")));
    m_platform = std::make_unique<FakePlatform>();
}

void TestWizardSheet::cleanup()
{
    m_platform.reset();
    SetSettingsFileForTesting(QString());
    m_dir.reset();
}

// `steps`: "nee" and "ja" choose on the current page, "next", "back",
// "finish" and "cancel" press the buttons.
void TestWizardSheet::answersStored_data()
{
    QTest::addColumn<int>("fastSendBefore");
    QTest::addColumn<int>("addZeroBefore");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("fastSend");
    QTest::addColumn<int>("addZero");

    QTest::newRow("no answer on page 1 keeps FastSend") << 7 << kMissing << "next cancel" << 7 << kMissing;
    QTest::newRow("no answer on page 1, FastSend stays missing") << kMissing << kMissing << "next cancel" << kMissing
                                                                 << kMissing;
    QTest::newRow("Nee on page 1 stores 0") << 1 << kMissing << "nee next cancel" << 0 << kMissing;
    QTest::newRow("Ja on page 1, Cancel on page 2") << kMissing << 5 << "ja next cancel" << 1 << 5;
    QTest::newRow("Cancel on page 1 stores nothing") << kMissing << kMissing << "ja cancel" << kMissing << kMissing;
    QTest::newRow("no answer on page 2 stores 0") << kMissing << 1 << "next next" << kMissing << 0;
    QTest::newRow("Nee on page 2 stores 1") << kMissing << 0 << "next nee next" << kMissing << 1;
    QTest::newRow("Ja on page 2 stores 0") << kMissing << 1 << "next ja next" << kMissing << 0;
    QTest::newRow("Back to page 1 stores nothing") << kMissing << 5 << "next nee back cancel" << kMissing << 5;
    QTest::newRow("Back from page 3 and a new answer overwrites") << kMissing << kMissing
                                                                  << "next nee next back ja next finish" << kMissing
                                                                  << 0;
    QTest::newRow("Back to page 1, new answer, Next again") << 0 << kMissing << "nee next back ja next cancel" << 1
                                                           << kMissing;
    QTest::newRow("Finish after Next, Next stores only those") << kMissing << kMissing << "ja next nee next finish"
                                                               << 1 << 1;
}

void TestWizardSheet::answersStored()
{
    QFETCH(int, fastSendBefore);
    QFETCH(int, addZeroBefore);
    QFETCH(QString, steps);
    QFETCH(int, fastSend);
    QFETCH(int, addZero);

    Store("FastSend", fastSendBefore);
    Store("AddZero", addZeroBefore);
    CWizardSheet wizard;
    wizard.show();
    for (const QString& step : steps.split(' ')) {
        if (step == "nee" || step == "ja")
            wizard.currentPage()->findChild<QRadioButton*>(step == "nee" ? "noRadio" : "yesRadio")->click();
        else {
            const QWizard::WizardButton which = step == "next"     ? QWizard::NextButton
                                                : step == "back"   ? QWizard::BackButton
                                                : step == "finish" ? QWizard::FinishButton
                                                                   : QWizard::CancelButton;
            QAbstractButton* button = wizard.button(which);
            QVERIFY2(button->isVisible() && button->isEnabled(), qPrintable(step));
            button->click();
        }
    }

    QCOMPARE(Stored("FastSend"), fastSend);
    QCOMPARE(Stored("AddZero"), addZero);
    QCOMPARE(Stored("AutoSend"), kMissing);
    QCOMPARE(Stored("FirstStart"), kMissing);
    if (steps.endsWith("finish"))
        QCOMPARE(wizard.result(), int(QDialog::Accepted));
    if (steps.endsWith("cancel"))
        QCOMPARE(wizard.result(), int(QDialog::Rejected));
}

void TestWizardSheet::buttonsPerPage_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("back");
    QTest::addColumn<bool>("next");
    QTest::addColumn<bool>("finish");

    QTest::newRow("page 1: Next") << 0 << "Soort ISDN kaart - Stap 1 van 3" << false << true << false;
    QTest::newRow("page 2: Back and Next") << 1 << "Achter een ISDN centrale - Stap 2 van 3" << true << true << false;
    QTest::newRow("page 3: Back and Finish") << 2 << "Instellingen - Stap 3 van 3" << true << false << true;
}

void TestWizardSheet::buttonsPerPage()
{
    QFETCH(int, page);
    QFETCH(QString, title);
    QFETCH(bool, back);
    QFETCH(bool, next);
    QFETCH(bool, finish);

    CWizardSheet wizard;
    wizard.show();
    for (int i = 0; i < page; ++i)
        wizard.next();
    QCOMPARE(wizard.currentId(), page);
    QCOMPARE(wizard.windowTitle(), title);
    auto usable = [&](QWizard::WizardButton which) {
        return wizard.button(which)->isVisible() && wizard.button(which)->isEnabled();
    };
    QCOMPARE(usable(QWizard::BackButton), back);
    QCOMPARE(usable(QWizard::NextButton), next);
    QCOMPARE(usable(QWizard::FinishButton), finish);
    QVERIFY(usable(QWizard::CancelButton));
    QVERIFY(usable(QWizard::HelpButton));
    QStringList texts;
    for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton,
                       QWizard::HelpButton})
        texts << wizard.button(which)->text();
    QCOMPARE(texts, (QStringList{"< Vorige", "Volgende >", "Voltooien", "Annuleren", "Help"}));
}

void TestWizardSheet::everyOpeningStartsUnanswered()
{
    {
        CWizardSheet wizard;
        wizard.show();
        wizard.currentPage()->findChild<QRadioButton*>("yesRadio")->click();
        wizard.next();
        wizard.currentPage()->findChild<QRadioButton*>("noRadio")->click();
        wizard.next();
        wizard.back();
        // A page visited again shows the answer it had.
        QVERIFY(wizard.currentPage()->findChild<QRadioButton*>("noRadio")->isChecked());
    }
    CWizardSheet wizard;
    for (QWizardPage* page : {static_cast<QWizardPage*>(wizard.Page1()), static_cast<QWizardPage*>(wizard.Page2())})
        for (QRadioButton* radio : page->findChildren<QRadioButton*>())
            QVERIFY(!radio->isChecked());
    QCOMPARE(wizard.Page1()->Answer(), -1);
    QCOMPARE(wizard.Page2()->Answer(), -1);
}

void TestWizardSheet::pictureOnEveryPage()
{
    CWizardSheet wizard;
    for (int id : wizard.pageIds()) {
        auto* picture = wizard.page(id)->findChild<QLabel*>("pictureLabel");
        QCOMPARE(picture->frameShadow(), QFrame::Sunken);
        QVERIFY(!picture->pixmap().isNull());
        QVERIFY(picture->geometry().right() < wizard.page(id)->width() / 2);
    }
}

void TestWizardSheet::helpOpensHelpFileOrManual()
{
    CheckHelpOpensHelpFileOrManual(m_dir->path(), *m_platform, [] {
        CWizardSheet wizard;
        wizard.show();
        wizard.button(QWizard::HelpButton)->click();
        QVERIFY(wizard.isVisible());
    });
}

QTEST_MAIN(TestWizardSheet)
#include "TestWizardSheet.moc"
