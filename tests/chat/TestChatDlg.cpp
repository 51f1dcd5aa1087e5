// The main window on a fake driver: start-up, incoming texts, sending, the
// call list and shutdown, through its controls as a user meets them.
#include "CChatDlg.h"

#include "CapiDefs.h"
#include "CapiDriver.h"
#include "Cp1252.h"
#include "DriverCall.h"
#include "FakeLineDriver.h"
#include "FakePlatform.h"
#include "HelpFile.h"
#include "SettingsStore.h"
#include "TrayBadge.h"
#include "ZoemlijnService.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTableView>

#include <chrono>

using namespace capi;

Q_DECLARE_METATYPE(std::vector<unsigned>)

namespace {

constexpr int kWait = 5000;

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Number and text of a composed CONNECT_REQ.
struct Sent
{
    QByteArray number, text;
};

Sent Decode(const QByteArray& connectReq)
{
    const int n = uint8_t(connectReq[14]) - 1;
    const QByteArray number = connectReq.mid(16, n);
    const int sub = 18 + n;
    const int t = uint8_t(connectReq[sub]) - 1;
    return {number, connectReq.mid(sub + 2, t)};
}

// Runs `then` from the event loop once `condition` holds, also inside a
// nested loop the code under test runs; `then` is told whether it held or
// the wait ran out.
void When(std::function<bool()> condition, std::function<void(bool met)> then)
{
    auto poll = std::make_shared<std::function<void()>>();
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    *poll = [=] {
        const bool met = condition();
        if (met || started->elapsed() > kWait) {
            // The running copy keeps what it needs; the stored one would
            // otherwise keep itself alive.
            *poll = nullptr;
            then(met);
            return;
        }
        QTimer::singleShot(5, *poll);
    };
    QTimer::singleShot(0, *poll);
}

} // namespace

class TestChatDlg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startUpWithoutDriver();
    void silentDriver_data();
    void silentDriver();
    void closingWhileWaitingForTheDriver_data();
    void closingWhileWaitingForTheDriver();
    void layout();
    void inputFieldsRefuse();
    void accessibleNames_data();
    void accessibleNames();

    void incomingCall_data();
    void incomingCall();
    void missingPhoneBookInOrder();
    void soundHoldsTheRestOfTheCall();
    void typingSurvivesAnIncomingText();
    void logKeepsNewestLineInView();
    void controlBytesInLogAsBlanks_data();
    void controlBytesInLogAsBlanks();
    void notificationShowsHiddenWindow();
    void notificationRestoresMinimisedWindow();
    void silentCallerLeavesWindowHidden();
    void lostDriverGreysTheIcon();

    void send_data();
    void send();
    void pauseHoldsNotifications();
    void inputDuringPauseIsDropped();
    void autoSend_data();
    void autoSend();

    void callListAcrossRestart();
    void callListOnDiskAtEveryChange_data();
    void callListOnDiskAtEveryChange();
    void rowCommands();
    void searchNarrowsTheList();
    void exportThroughSaveAs();
    void unreadableCallListIsKept();
    void shutdownReleasesBothLinksOnce();

    void minimiseToTray();
    void minimiseWithoutNotificationArea();
    void trayIconCarriesItsMenu_data();
    void trayIconCarriesItsMenu();
    void exitFromTray();
    void enterKeepsEscEnds();
    void fold_data();
    void fold();
    void help_data();
    void help();
    void aboutFromTheWindowIcon();
    void commandsOpenDialogs_data();
    void commandsOpenDialogs();

    void notificationMode_data();
    void notificationMode();
    void missedTextCountAndReset();
    void deliveryReport_data();
    void deliveryReport();
    void deliveryReportAfterThePause();
    void textHookForEveryText();

    void serviceSend();
    void serviceSendDuringThePause_data();
    void serviceSendDuringThePause();
    void serviceHearsTheWindow();

private:
    // Both links have handled all that was queued, and the window all they
    // brought.
    void Settle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_driver->Idle() && m_dlg->Notifications().Pending() == 0, kWait);
        QTest::qWait(20);
    }
    void SendText(const QString& number, const QString& text)
    {
        Edit("phoneNumberEdit")->clear();
        Type("phoneNumberEdit", number);
        Type("sendTextEdit", text);
        QTest::mouseClick(SendButton(), Qt::LeftButton);
    }
    // The network clears a call of the sending link.
    void ClearSent(uint8_t plci, uint16_t reason)
    {
        m_driver->QueueTo(2, CapiMessage(DisconnectInd, 2, plci, QByteArray(1, char(reason & 0xff)) + char(reason >> 8)));
    }
    void Minimise()
    {
        m_dlg->setWindowState(m_dlg->windowState() | Qt::WindowMinimized);
        QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->isVisible(), kWait);
    }
    QAction* TrayAction(const QString& text) const
    {
        for (QAction* action : m_dlg->TrayMenu()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }
    int FramedHeight() const { return m_dlg->frameGeometry().height(); }
    void Open();
    // With a phone book, so that no text asks for one.
    void OpenWithBook(const QByteArray& phoneBook = "")
    {
        WriteFile("telefoonboek.dat", phoneBook);
        Open();
    }
    void Reopen();
    QLineEdit* Edit(const char* name) const { return m_dlg->findChild<QLineEdit*>(name); }
    QString Log() const { return m_dlg->findChild<QPlainTextEdit*>("receivedEdit")->toPlainText(); }
    QPushButton* SendButton() const { return m_dlg->findChild<QPushButton*>("sendButton"); }
    QTableView* List() const { return m_dlg->findChild<QTableView*>("callListView"); }
    int Rows() const { return m_dlg->CallListModel().rowCount(); }
    QStringList Row(int i) const { return m_dlg->CallListModel().Rows().at(i); }
    // The "Bericht" field of each record of the stored call list, in order.
    static QStringList StoredTexts();
    void Call(const QByteArray& calling, const QByteArray& called, const QByteArray& text);
    // One key press per character, as typing them would give.
    void Type(const char* edit, const QString& text)
    {
        for (QChar ch : text)
            QTest::sendKeyEvent(QTest::Click, Edit(edit), Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
    std::vector<Sent> SentTexts() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    std::unique_ptr<FakePlatform> m_platform;
    std::unique_ptr<FakeLineDriver> m_driver;
    std::unique_ptr<CChatDlg> m_dlg;
    uint8_t m_plci = 10;
};

void TestChatDlg::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    SetSettingsFileForTesting(m_dir->filePath("Zoemlijn.conf"));
    m_platform = std::make_unique<FakePlatform>();
    m_driver = std::make_unique<FakeLineDriver>();
    CapiBinding::SetDriverForTesting(m_driver.get());
    CChatDlg::ResetChangeCountForTesting();
}

void TestChatDlg::cleanup()
{
    m_dlg.reset();
    SetManualPathForTesting(QString());
    // Driver calls left behind hold the driver: they end before it goes.
    m_driver->Unstick();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    CCapiLink::SetDefaultBounds({});
    CapiBinding::ResetForTesting();
    m_driver.reset();
    m_platform.reset();
    SetSettingsFileForTesting(QString());
    QDir::setCurrent(m_previousDir);
}

void TestChatDlg::Open()
{
    m_dlg = std::make_unique<CChatDlg>();
    // Both links are up: the listen was confirmed during start-up (from the
    // event loop, should the driver be slow), and the window has handled
    // what start-up brought.
    QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->IsStartingLinks(), kWait);
    QCOMPARE(m_driver->ListeningAppl(), 1u);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver->Idle() && m_dlg->Notifications().Pending() == 0, kWait);
}

void TestChatDlg::Reopen()
{
    m_dlg.reset();
    m_dlg = std::make_unique<CChatDlg>();
}

void TestChatDlg::Call(const QByteArray& calling, const QByteArray& called, const QByteArray& text)
{
    const int before = Rows();
    m_driver->QueueIncomingCall(m_plci++, 2, called, calling, text);
    QTRY_COMPARE_WITH_TIMEOUT(Rows(), before + 1, kWait);
}

QStringList TestChatDlg::StoredTexts()
{
    const QList<QByteArray> lines = ReadFile(kCallListFileName).split('\n');
    QStringList texts;
    for (qsizetype i = ColText; i + 1 < lines.size(); i += kCallListColumns)
        texts << QString::fromLatin1(lines[i].chopped(1));
    return texts;
}

std::vector<Sent> TestChatDlg::SentTexts() const
{
    std::vector<Sent> sent;
    for (const auto& put : m_driver->PutsWith(ConnectReq))
        sent.push_back(Decode(put.message));
    return sent;
}

// ---------------------------------------------------------------- start-up and layout

void TestChatDlg::startUpWithoutDriver()
{
    CapiBinding::ResetForTesting();
    CapiBinding::SetLibraryNameForTesting("libcapi-that-is-not-there.so.9");
    m_dlg = std::make_unique<CChatDlg>();
    QCOMPARE(m_platform->messages, (QStringList{
                                       "Laden van Capi2032.dll lukte niet!, probeer opnieuw",
                                       "Register werkt niet",
                                       "De Listen state is niet gelukt\r\n Sluit af en probeer opnieuw",
                                       "Register werkt niet",
                                   }));
    QVERIFY(m_dlg->isVisible());
    m_dlg.reset();
    // The list that started empty is saved as an empty file.
    QCOMPARE(ReadFile(kCallListFileName), QByteArray(""));
}

void TestChatDlg::silentDriver_data()
{
    QTest::addColumn<unsigned>("silent");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("registered"); // both links, in the end
    const QString reg = "Register werkt niet";
    const QString listen = "De Listen state is niet gelukt\r\n Sluit af en probeer opnieuw";
    QTest::newRow("registrations never answer")
        << unsigned(FakeLineDriver::SilentRegister) << QStringList{reg, listen, reg} << false;
    QTest::newRow("listen never confirmed") << unsigned(FakeLineDriver::SilentListen) << QStringList{listen} << true;
}

void TestChatDlg::silentDriver()
{
    QFETCH(unsigned, silent);
    QFETCH(QStringList, messages);
    QFETCH(bool, registered);
    CCapiLink::SetDefaultBounds({1500, 1500, 2000, 3000});
    m_driver->Silence(silent);

    m_dlg = std::make_unique<CChatDlg>();
    // The window is up without having waited for the driver: no step has
    // failed yet.
    QVERIFY(m_dlg->isVisible());
    QCOMPARE(m_platform->messages, QStringList());
    QCOMPARE(m_driver->SilentCallsWaiting(), silent == FakeLineDriver::SilentRegister ? 1 : 0);

    // As each bound passes, start-up goes on from the event loop: every
    // failed step's message, in the order of the steps.
    QVERIFY(m_dlg->IsStartingLinks());
    QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->IsStartingLinks(), kWait);
    QCOMPARE(m_platform->messages, messages);
    QCOMPARE(m_dlg->SendLink().IsThreadRunning(), registered);
    QCOMPARE(m_dlg->ReceiveLink().IsRegistered(), registered);
    QCOMPARE(m_dlg->SendLink().IsRegistered(), registered);
}

void TestChatDlg::closingWhileWaitingForTheDriver_data()
{
    QTest::addColumn<unsigned>("silent");
    QTest::addColumn<std::vector<unsigned>>("releasedAtClose");
    QTest::newRow("registering") << unsigned(FakeLineDriver::SilentRegister) << std::vector<unsigned>{};
    QTest::newRow("waiting for the listen") << unsigned(FakeLineDriver::SilentListen) << std::vector<unsigned>{1};
}

void TestChatDlg::closingWhileWaitingForTheDriver()
{
    QFETCH(unsigned, silent);
    QFETCH(std::vector<unsigned>, releasedAtClose);
    m_driver->Silence(silent); // the bounds as shipped: seconds
    m_dlg = std::make_unique<CChatDlg>();
    QTest::qWait(100);
    QCOMPARE(m_platform->messages, QStringList());

    m_dlg->reject();
    const auto start = std::chrono::steady_clock::now();
    m_dlg.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    // The shutdown waits for no driver call: well inside the bounds.
    QVERIFY2(took < std::chrono::seconds(1),
             qPrintable(QString::number(std::chrono::duration<double, std::milli>(took).count()) + " ms"));
    QCOMPARE(m_platform->messages, QStringList());
    QCOMPARE(ReadFile(kCallListFileName), QByteArray(""));
    // Only what registered is released; a link without an application
    // calls no driver.
    QCOMPARE(m_driver->Released(), releasedAtClose);

    // The stuck registration answers after all: its thread gives it back.
    m_driver->Unstick();
    QTRY_COMPARE(CDriverCall::Running(), 0);
    QCOMPARE(m_driver->Released(), std::vector<unsigned>{1});
}

void TestChatDlg::layout()
{
    Open();
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(m_dlg->windowTitle(), QString("Zoemlijn"));

    // Folded to 325 at the right edge, H + 30 above the bottom, H being the
    // height with the toolbar fitted.
    auto* toolBar = m_dlg->findChild<QToolBar*>("toolBar");
    QVERIFY(toolBar);
    const QRect screen = m_dlg->screen()->geometry();
    const QRect frame = m_dlg->frameGeometry();
    // 266 dialog units down: an eighth of the font's height each, rounded.
    const int templateHeight = (266 * QFontMetrics(m_dlg->font()).height() + 4) / 8;
    const int fullHeight = templateHeight + toolBar->height() + frame.height() - m_dlg->height();
    QCOMPARE(frame.height(), 325);
    QCOMPARE(frame.right(), screen.right());
    QCOMPARE(frame.top(), screen.bottom() + 1 - fullHeight - 30);

    QStringList labels;
    for (QAction* action : toolBar->actions()) {
        labels << action->text();
        QCOMPARE(toolBar->widgetForAction(action)->size(), QSize(50, 35));
    }
    QCOMPARE(labels, (QStringList{"Opslaan", "Instellen", "In", "Uit", "Wizard", "Help"}));

    QStringList titles;
    QList<int> widths;
    for (int c = 0; c < List()->model()->columnCount(); ++c) {
        titles << List()->model()->headerData(c, Qt::Horizontal).toString();
        widths << List()->horizontalHeader()->sectionSize(c);
    }
    QCOMPARE(titles, (QStringList{"Nummer beller", "Naam", "Bericht", "Uw nummer", "Datum", "Tijd", "Soort oproep"}));
    QCOMPARE(widths, (QList<int>{90, 84, 120, 80, 60, 60, 160}));

    QCOMPARE(SendButton()->toolTip(), QString("klik hier om de tekst te versturen"));
    QCOMPARE(Edit("phoneNumberEdit")->toolTip(), QString("vul hier het telefoonnummer in waar u tekst heen wilt versturen"));
    QCOMPARE(SendButton()->text(), QString("Verzenden "));
    QVERIFY(!SendButton()->isDefault());
    // The text "test tekst" waits in its string; the box starts empty.
    QCOMPARE(Edit("sendTextEdit")->text(), QString());
}

void TestChatDlg::inputFieldsRefuse()
{
    Open();
    Type("sendTextEdit", "12345678901234567890");
    QCOMPARE(Edit("sendTextEdit")->text(), QString("1234567890123456789"));
    Edit("sendTextEdit")->clear();
    Type("sendTextEdit", QString::fromUtf8("€é☎x"));
    QCOMPARE(Edit("sendTextEdit")->text(), QString::fromUtf8("€éx"));
    Type("phoneNumberEdit", "03a0-1 1");
    QCOMPARE(Edit("phoneNumberEdit")->text(), QString("03011"));
}

void TestChatDlg::accessibleNames_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("name");
    QTest::newRow("call type") << "callTypeEdit" << "Soort oproep";
    QTest::newRow("called number") << "calledNumberEdit" << "Gebelde nummer";
    QTest::newRow("caller") << "callerEdit" << "Naam / Nummer beller";
    QTest::newRow("received") << "receivedEdit" << "Ontvangen tekst";
    QTest::newRow("number") << "phoneNumberEdit" << "Telefoonnummer";
    QTest::newRow("text") << "sendTextEdit" << "Te versturen tekst";
    QTest::newRow("send button") << "sendButton" << "Verzenden";
    QTest::newRow("call list") << "callListView" << "Bellijst";
}

void TestChatDlg::accessibleNames()
{
    QFETCH(QString, object);
    QFETCH(QString, name);
    Open();
    auto* widget = m_dlg->findChild<QWidget*>(object);
    QVERIFY(widget);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
}

// ---------------------------------------------------------------- incoming texts

void TestChatDlg::incomingCall_data()
{
    QTest::addColumn<uint>("addZero");
    QTest::addColumn<QByteArray>("phoneBook"); // "-" for no file
    QTest::addColumn<QByteArray>("calling");
    QTest::addColumn<QString>("caller");
    QTest::addColumn<QString>("ownNumber");
    QTest::addColumn<QString>("nameColumn");
    QTest::addColumn<QStringList>("sounds");
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("messages");

    const QByteArray book = "0301\r\nJan\r\n\r\n\r\n"
                            "0303\r\n\r\nWav-file\r\nbel.wav\r\n"
                            "0304\r\nKantoor\r\nMS-Access\r\nklanten.mdb\r\n"
                            "0305\r\nPiet\r\nProgramma\r\n/usr/bin/xeyes\r\n"
                            "0306\r\nKlaas\r\nwav-file\r\nbel.wav\r\n"
                            "0307\r\nStille\r\nStil\r\nbel.wav\r\n"
                            "00301\r\nNul\r\n\r\n\r\n";
    const QString missing = "Telefoonboek file niet meer aanwezig.\r\n Door op het configuratie icoon te klikken en "
                            "dan op de knop OK\r\n wordt deze automatisch weer gemaakt";
    QTest::newRow("unknown caller") << 0u << QByteArray() << QByteArray("0309") << " / 0309" << "0302"
                                    << "niet in tel.boek" << QStringList() << QStringList() << QStringList();
    QTest::newRow("unknown caller, AddZero on") << 1u << QByteArray() << QByteArray("309") << " / 0309" << "00302"
                                                << "niet in tel.boek" << QStringList() << QStringList() << QStringList();
    QTest::newRow("known caller") << 0u << book << QByteArray("0301") << "Jan / 0301" << "0302" << "Jan"
                                  << QStringList() << QStringList() << QStringList();
    QTest::newRow("AddZero gives a second 0") << 1u << book << QByteArray("0301") << "Nul / 00301" << "00302" << "Nul"
                                              << QStringList() << QStringList() << QStringList();
    QTest::newRow("empty name still runs its sound")
        << 0u << book << QByteArray("0303") << " / 0303" << "0302" << "niet in tel.boek" << QStringList{"bel.wav"}
        << QStringList() << QStringList();
    QTest::newRow("MS-Access shows its name, opens nothing")
        << 0u << book << QByteArray("0304") << "Kantoor / 0304" << "0302" << "Kantoor" << QStringList()
        << QStringList() << QStringList{"MS-Access"};
    QTest::newRow("Programma opens the path") << 0u << book << QByteArray("0305") << "Piet / 0305" << "0302" << "Piet"
                                              << QStringList() << QStringList{"/usr/bin/xeyes"} << QStringList();
    QTest::newRow("wav-file in other letters runs nothing")
        << 0u << book << QByteArray("0306") << "Klaas / 0306" << "0302" << "Klaas" << QStringList() << QStringList()
        << QStringList();
    QTest::newRow("Stil runs nothing") << 0u << book << QByteArray("0307") << "Stille / 0307" << "0302" << "Stille"
                                       << QStringList() << QStringList() << QStringList();
    QTest::newRow("phone book missing") << 0u << QByteArray("-") << QByteArray("0301") << " / 0301" << "0302"
                                        << "niet in tel.boek" << QStringList() << QStringList() << QStringList{missing};
}

void TestChatDlg::incomingCall()
{
    QFETCH(uint, addZero);
    QFETCH(QByteArray, phoneBook);
    QFETCH(QByteArray, calling);
    QFETCH(QString, caller);
    QFETCH(QString, ownNumber);
    QFETCH(QString, nameColumn);
    QFETCH(QStringList, sounds);
    QFETCH(QStringList, opened);
    QFETCH(QStringList, messages);

    WriteSetting(Setting::AddZero, addZero);
    if (phoneBook != "-")
        WriteFile("telefoonboek.dat", phoneBook);
    m_platform->onSound = [this](const QString&) { QTimer::singleShot(0, [this] { m_platform->EndSound(); }); };
    Open();
    Call(calling, "0302", "hallo daar");

    QCOMPARE(Log(), QString("Ontv: hallo daar\n"));
    QCOMPARE(Edit("callTypeEdit")->text(), QString("Unrestricted digital information"));
    QCOMPARE(Edit("calledNumberEdit")->text(), ownNumber);
    QCOMPARE(Edit("callerEdit")->text(), caller);
    const QString key = caller.section(" / ", 1);
    QCOMPARE(Row(0), (QStringList{key, nameColumn, "hallo daar", ownNumber, "12/6/99", "9:05:07",
                                  "Unrestricted digital information"}));
    QCOMPARE(m_platform->soundsPlayed, sounds);
    QCOMPARE(m_platform->opened, opened);
    QCOMPARE(m_platform->messages, messages);
}

void TestChatDlg::missingPhoneBookInOrder()
{
    Open();
    Call("0301", "0302", "eerste");
    QCOMPARE(m_platform->messages.size(), 1);
    // What the second call shows by the time its message comes.
    QString callerAtMessage, logAtMessage;
    int rowsAtMessage = -1;
    m_platform->onMessage = [&](const QString&) {
        callerAtMessage = Edit("callerEdit")->text();
        logAtMessage = Log();
        rowsAtMessage = Rows();
    };
    Call("0309", "0302", "tweede");
    QCOMPARE(logAtMessage, QString("Ontv: eerste\nOntv: tweede\n"));
    QCOMPARE(callerAtMessage, QString(" / 0301"));
    QCOMPARE(rowsAtMessage, 1);
    QCOMPARE(Edit("callerEdit")->text(), QString(" / 0309"));
    QCOMPARE(Row(0).at(ColName), QString("niet in tel.boek"));
    QCOMPARE(Row(1).at(ColText), QString("eerste"));
}

void TestChatDlg::soundHoldsTheRestOfTheCall()
{
    WriteFile("telefoonboek.dat", "0301\r\nJan\r\nWav-file\r\nbel.wav\r\n");
    Open();
    bool checked = false;
    m_platform->onSound = [&](const QString& path) {
        QCOMPARE(path, QString("bel.wav"));
        // The name shows only after the sound; meanwhile what the other link
        // brings waits too.
        QVERIFY(Edit("callerEdit")->text().isEmpty());
        m_driver->QueueTo(2, CapiMessage(DisconnectInd, 2, 0, QByteArray("\x9d\x34", 2)));
        When([&] { return m_dlg->Notifications().Pending() >= 1; },
             [&](bool met) {
                 // The clearing waits behind the sound, and so does the rest.
                 checked = met && Rows() == 0 && Edit("callerEdit")->text().isEmpty();
                 m_platform->EndSound();
             });
    };
    Call("0301", "0302", "hoi");
    QVERIFY(checked);
    QCOMPARE(Edit("callerEdit")->text(), QString("Jan / 0301"));
    QTRY_VERIFY_WITH_TIMEOUT(m_driver->Idle() && m_dlg->Notifications().Pending() == 0, kWait);
}

void TestChatDlg::typingSurvivesAnIncomingText()
{
    WriteFile("telefoonboek.dat", "");
    Open();
    Type("phoneNumberEdit", "0302");
    Type("sendTextEdit", "half getypt");
    auto* log = m_dlg->findChild<QPlainTextEdit*>("receivedEdit");
    log->setPlainText("eigen notitie");
    Call("0301", "0303", "binnen");
    QCOMPARE(Edit("phoneNumberEdit")->text(), QString("0302"));
    QCOMPARE(Edit("sendTextEdit")->text(), QString("half getypt"));
    QCOMPARE(Log(), QString("eigen notitieOntv: binnen\n"));
}

void TestChatDlg::logKeepsNewestLineInView()
{
    OpenWithBook();
    auto* log = m_dlg->findChild<QPlainTextEdit*>("receivedEdit");
    QScrollBar* bar = log->verticalScrollBar();
    auto newestInView = [&] {
        const QRect caret = log->cursorRect(QTextCursor(log->document()->lastBlock()));
        return log->viewport()->rect().contains(caret);
    };
    for (int i = 0; i < 60; ++i)
        Call("0301", "0302", QByteArray::number(i));
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(newestInView());
    // A sent text too, after the user scrolled back up.
    bar->setValue(0);
    WriteSetting(Setting::FastSend, 1);
    SendText("0302", "terug");
    QVERIFY(Log().endsWith("Ontv: 59\nVerz: terug\n"));
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(newestInView());
}

void TestChatDlg::controlBytesInLogAsBlanks_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("logged");
    QTest::newRow("forged sent line") << QByteArray("hoi\r\nVerz: nep") << "Ontv: hoi  Verz: nep\n";
    QTest::newRow("NUL, tab, escape, DEL") << QByteArray("a\0b\tc\x1b[2Jd\x7f", 11) << "Ontv: a b c [2Jd \n";
}

void TestChatDlg::controlBytesInLogAsBlanks()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, logged);
    OpenWithBook();
    Call("0301", "0302", text);
    QCOMPARE(Log(), logged);
    // The list keeps the text as it came; its file stores breaks as blanks.
    QCOMPARE(cp1252::Encode(Row(0).at(ColText)), text);
}

void TestChatDlg::notificationShowsHiddenWindow()
{
    Open();
    m_dlg->hide();
    // The clearing of a call is only shown, nothing else changes.
    m_driver->QueueTo(1, CapiMessage(DisconnectInd, 1, 3, QByteArray("\x9d\x34", 2)));
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isVisible(), kWait);
    QCOMPARE(Rows(), 0);
    QCOMPARE(Log(), QString());
}

void TestChatDlg::notificationRestoresMinimisedWindow()
{
    // No notification area: minimised, not hidden, and a text brings it back.
    m_platform->notificationArea = false;
    OpenWithBook();
    m_dlg->setWindowState(Qt::WindowMinimized);
    QTest::qWait(20);
    QVERIFY(m_dlg->windowState() & Qt::WindowMinimized);
    Call("0301", "0302", "terug");
    QTRY_VERIFY_WITH_TIMEOUT(!(m_dlg->windowState() & Qt::WindowMinimized), kWait);
    QVERIFY(m_dlg->isVisible());
    QVERIFY(!m_dlg->TrayIcon());
}

void TestChatDlg::silentCallerLeavesWindowHidden()
{
    OpenWithBook("0307\r\nStille\r\nStil\r\n\r\n0308\r\nKlein\r\nstil\r\n\r\n");
    Minimise();
    // Listed and logged, through its clearing, without the window.
    Call("0307", "0302", "sst");
    m_driver->QueueTo(1, CapiMessage(DisconnectInd, 1, m_plci - 1, QByteArray("\x9d\x34", 2)));
    Settle();
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(Row(0).at(ColName), QString("Stille"));
    QCOMPARE(Log(), QString("Ontv: sst\n"));
    // Anyone else still brings it back: the action is "Stil" to the letter.
    Call("0308", "0302", "hallo");
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isVisible(), kWait);
}

void TestChatDlg::lostDriverGreysTheIcon()
{
    WriteFile("telefoonboek.dat", "");
    Open();
    auto* icon = m_dlg->findChild<QLabel*>("linkIcon");
    QVERIFY(icon);
    const QImage normal = icon->pixmap().toImage();
    const QRect geometry = m_dlg->geometry();

    m_driver->FailDriver(0x1101);
    QTRY_COMPARE_WITH_TIMEOUT(icon->toolTip(), QString("De verbinding met de CAPI-driver is verbroken"), kWait);
    QVERIFY(icon->pixmap().toImage() != normal);

    m_driver->FailDriver(0);
    QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->ReceiveLink().IsLinkDown() && !m_dlg->SendLink().IsLinkDown(), 3 * kWait);
    QTRY_COMPARE_WITH_TIMEOUT(icon->toolTip(), QString(), kWait);
    QCOMPARE(icon->pixmap().toImage(), normal);
    QCOMPARE(m_dlg->geometry(), geometry);
    // Listening again: the next text arrives.
    QTRY_VERIFY_WITH_TIMEOUT(m_driver->ListeningAppl() > 2, kWait);
    Call("0301", "0302", "weer daar");
    QCOMPARE(Row(0).at(2), QString("weer daar"));
}

// ---------------------------------------------------------------- sending

void TestChatDlg::send_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("textAfter");
    QTest::newRow("a text") << "0302" << "hallo daar" << false << QStringList() << 1 << "Verz: hallo daar\n" << "";
    QTest::newRow("an empty text") << "0302" << "" << false << QStringList() << 1 << "Verz: \n" << "";
    QTest::newRow("no number") << "" << "hallo" << false << QStringList{"Wel een nummer invullen"} << 0 << ""
                               << "hallo";
    QTest::newRow("driver refuses") << "0302" << "hallo" << true << QStringList{"Connect werkte niet"} << 0 << ""
                                    << "hallo";
    QTest::newRow("8-bit text goes out as Windows-1252")
        << "0302" << QString::fromUtf8("€ café") << false << QStringList() << 1 << QString::fromUtf8("Verz: € café\n")
        << "";
}

void TestChatDlg::send()
{
    QFETCH(QString, number);
    QFETCH(QString, text);
    QFETCH(bool, refused);
    QFETCH(QStringList, messages);
    QFETCH(int, sent);
    QFETCH(QString, log);
    QFETCH(QString, textAfter);
    WriteSetting(Setting::FastSend, 1);
    WriteSetting(Setting::AddZero, 1); // never changes the number sent
    if (refused)
        m_driver->FailConnects(0x1108);
    Open();
    Type("phoneNumberEdit", number);
    Type("sendTextEdit", text);
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    QCOMPARE(m_platform->messages, messages);
    QCOMPARE(int(SentTexts().size()), sent);
    if (sent) {
        QCOMPARE(SentTexts()[0].number, number.toLatin1());
        QCOMPARE(SentTexts()[0].text, cp1252::Encode(text));
        QCOMPARE(m_driver->PutsWith(ConnectReq)[0].applId, 2u); // the sending link
    }
    QCOMPARE(Log(), log);
    QCOMPARE(Edit("sendTextEdit")->text(), textAfter);
    QVERIFY(SendButton()->isEnabled());
    QVERIFY(m_platform->timers.empty());
}

void TestChatDlg::pauseHoldsNotifications()
{
    Open();
    Type("phoneNumberEdit", "0302");
    Type("sendTextEdit", "langzaam");
    bool paused = false;
    m_platform->onTimer = [&](const FakePlatform::Timer& timer) {
        QCOMPARE(timer.milliseconds, 4000);
        QVERIFY(!SendButton()->isEnabled());
        QCOMPARE(Log(), QString("Verz: langzaam\n"));
        QCOMPARE(Edit("sendTextEdit")->text(), QString());
        // A text that arrives during the pause waits for its end, and so
        // does the sending link's confirmation.
        m_driver->QueueIncomingCall(40, 2, "0302", "0301", "tussendoor");
        When([&] { return m_dlg->Notifications().Pending() >= 2; },
             [&](bool met) {
                 paused = met && Rows() == 0 && !SendButton()->isEnabled();
                 m_platform->FireTimer();
             });
    };
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    QVERIFY(paused);
    QVERIFY(SendButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(Rows(), 1, kWait);
    QCOMPARE(Log(), QString("Verz: langzaam\nOntv: tussendoor\n"));
}

void TestChatDlg::inputDuringPauseIsDropped()
{
    Open();
    Type("phoneNumberEdit", "0302");
    Type("sendTextEdit", "eerste");
    m_platform->onTimer = [&](const FakePlatform::Timer&) {
        // The second click of a double click and a key, as the desktop
        // delivers them while the window waits.
        const QPoint centre = SendButton()->rect().center();
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(SendButton(), new QMouseEvent(type, centre, SendButton()->mapToGlobal(centre),
                                                                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(Edit("sendTextEdit"),
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
        QTimer::singleShot(50, [this] { m_platform->FireTimer(); });
    };
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    QTest::qWait(20);
    QCOMPARE(SentTexts().size(), size_t(1));
    QCOMPARE(SentTexts()[0].text, QByteArray("eerste"));
    QCOMPARE(Edit("sendTextEdit")->text(), QString());
    QVERIFY(m_platform->messages.isEmpty());
}

void TestChatDlg::autoSend_data()
{
    QTest::addColumn<uint>("autoSend");
    QTest::addColumn<QStringList>("steps"); // typed text, or "send" for a click
    QTest::addColumn<QList<QByteArray>>("sent");
    const QString t19 = "abcdefghijklmnopqrs";
    QTest::newRow("the 19th character sends, twice")
        << 1u << QStringList{t19, t19.toUpper()} << QList<QByteArray>{t19.toLatin1(), t19.toUpper().toLatin1()};
    QTest::newRow("18 characters wait")
        << 1u << QStringList{t19.left(18)} << QList<QByteArray>{};
    QTest::newRow("a manual send: its clearing counts, 13 more send")
        << 1u << QStringList{"vijf.", "send", "twaalf teken", "x"}
        << QList<QByteArray>{"vijf.", "twaalf tekenx"};
    QTest::newRow("a manual send: 12 more wait") << 1u << QStringList{"vijf.", "send", "twaalf teken"}
                                                 << QList<QByteArray>{"vijf."};
    QTest::newRow("AutoSend 2 never sends") << 2u << QStringList{t19, t19} << QList<QByteArray>{};
}

void TestChatDlg::autoSend()
{
    QFETCH(uint, autoSend);
    QFETCH(QStringList, steps);
    QFETCH(QList<QByteArray>, sent);
    WriteSetting(Setting::FastSend, 1);
    WriteSetting(Setting::AutoSend, autoSend);
    Open();
    Type("phoneNumberEdit", "0302");
    for (const QString& step : steps) {
        if (step == "send")
            QTest::mouseClick(SendButton(), Qt::LeftButton);
        else
            Type("sendTextEdit", step);
    }
    QList<QByteArray> texts;
    for (const Sent& s : SentTexts())
        texts << s.text;
    QCOMPARE(texts, sent);
}

// ---------------------------------------------------------------- call list

void TestChatDlg::callListAcrossRestart()
{
    WriteFile("telefoonboek.dat", "");
    Open();
    Call("0301", "0302", "eerste");
    m_platform->now = m_platform->now.addSecs(3723);
    Call("0303", "0302", "tweede");
    QCOMPARE(Row(0).at(ColText), QString("tweede"));
    QCOMPARE(Row(0).at(ColTime), QString("10:07:10"));
    QCOMPARE(Log(), QString("Ontv: eerste\nOntv: tweede\n"));
    const QList<QStringList> before = m_dlg->CallListModel().Rows();
    Reopen();
    QCOMPARE(m_dlg->CallListModel().Rows(), before);
    QCOMPARE(ReadFile(kCallListFileName).count("\r\n"), 14);
}

void TestChatDlg::callListOnDiskAtEveryChange_data()
{
    QTest::addColumn<QString>("command"); // an action's object name, or empty
    QTest::addColumn<QStringList>("stored");
    QTest::newRow("new rows") << QString() << QStringList{"drie", "twee", "een"};
    QTest::newRow("Verwijderen") << "deleteRowAction" << QStringList{"drie", "een"};
    QTest::newRow("Alles verwijderen") << "deleteAllAction" << QStringList();
}

void TestChatDlg::callListOnDiskAtEveryChange()
{
    QFETCH(QString, command);
    QFETCH(QStringList, stored);
    OpenWithBook();
    for (const char* text : {"een", "twee", "drie"})
        Call("0301", "0302", text);
    QTRY_COMPARE_WITH_TIMEOUT(StoredTexts(), (QStringList{"drie", "twee", "een"}), kWait);
    if (!command.isEmpty()) {
        List()->selectionModel()->select(List()->model()->index(1, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        m_dlg->findChild<QAction*>(command)->trigger();
    }
    // While the window lives: a crash from here on loses nothing.
    QTRY_COMPARE_WITH_TIMEOUT(StoredTexts(), stored, kWait);
    QVERIFY(m_dlg->isVisible());
}

void TestChatDlg::rowCommands()
{
    WriteFile("telefoonboek.dat", "");
    Open();
    for (const char* text : {"een", "twee", "drie"})
        Call(QByteArray("030") + text[0], "0302", text);
    auto* view = List();
    auto select = [&](int row) {
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    };
    // With no row selected, "Naar Telefoonboek" adds an empty record.
    m_dlg->findChild<QAction*>("toPhoneBookAction")->trigger();
    QCOMPARE(ReadFile("telefoonboek.dat"), QByteArray("\r\n\r\n\r\n\r\n"));

    select(2);
    select(1);
    m_dlg->findChild<QAction*>("toPhoneBookAction")->trigger();
    QCOMPARE(ReadFile("telefoonboek.dat"), QByteArray("\r\n\r\n\r\n\r\n030t\r\nniet in tel.boek\r\n\r\n\r\n"));
    QCOMPARE(Rows(), 3);

    m_dlg->findChild<QAction*>("deleteRowAction")->trigger();
    QCOMPARE(Rows(), 2);
    QCOMPARE(Row(0).at(ColText), QString("drie"));
    QCOMPARE(Row(1).at(ColText), QString("een"));

    m_dlg->findChild<QAction*>("deleteAllAction")->trigger();
    QCOMPARE(Rows(), 0);
    m_dlg.reset();
    QCOMPARE(ReadFile(kCallListFileName), QByteArray(""));
}

void TestChatDlg::searchNarrowsTheList()
{
    OpenWithBook();
    for (const char* text : {"een", "twee", "drie"})
        Call(QByteArray("030") + text[0], "0302", text);
    auto* search = m_dlg->findChild<QLineEdit*>("callListSearchEdit");
    QVERIFY(!search->isVisible());
    QTest::keyClick(m_dlg.get(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(search->isVisible());
    QCOMPARE(QAccessible::queryAccessibleInterface(search)->text(QAccessible::Name), QString("Zoeken in bellijst"));
    QTest::keyClicks(search, "TWEE");
    QCOMPARE(List()->model()->rowCount(), 1);
    QCOMPARE(List()->model()->index(0, ColText).data().toString(), QString("twee"));

    // The row commands take the row the user sees.
    List()->selectRow(0);
    m_dlg->findChild<QAction*>("toPhoneBookAction")->trigger();
    QCOMPARE(ReadFile("telefoonboek.dat"), QByteArray("030t\r\nniet in tel.boek\r\n\r\n\r\n"));
    m_dlg->findChild<QAction*>("deleteRowAction")->trigger();
    QCOMPARE(List()->model()->rowCount(), 0);
    QCOMPARE(Rows(), 2);
    QCOMPARE(Row(0).at(ColText), QString("drie"));
    QCOMPARE(Row(1).at(ColText), QString("een"));

    // Esc in the field empties and hides it; the window stays.
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    QTest::keyClick(search, Qt::Key_Escape);
    QVERIFY(!search->isVisible());
    QCOMPARE(search->text(), QString());
    QCOMPARE(List()->model()->rowCount(), 2);
    QCOMPARE(finished.size(), 0);
}

void TestChatDlg::exportThroughSaveAs()
{
    WriteFile(kCallListFileName, "0123456789\r\nKantoor\r\nHallo daar\r\n0987654321\r\n12/6/99\r\n9:05:07\r\nISDN-Telefonie\r\n");
    Open();
    m_platform->QueueCancel();
    m_platform->QueueFileName(m_dir->filePath("lijst.txt"));
    auto* save = m_dlg->findChild<QAction*>("command32798");
    save->trigger();
    QVERIFY(!QFile::exists("lijst.txt"));
    save->trigger();
    QCOMPARE(m_platform->fileDialogs.size(), size_t(2));
    QVERIFY(m_platform->fileDialogs[0].save);
    QCOMPARE(m_platform->fileDialogs[0].defaultExtension, QString("txt"));
    QCOMPARE(m_platform->fileDialogs[0].initialName, QString("*.txt"));
    const QByteArray exported = ReadFile("lijst.txt");
    QCOMPARE(exported.size(), 81);
    QVERIFY(exported.endsWith("ISDN-Telefonie\r\n\r\n"));
    QVERIFY(m_platform->messages.isEmpty());

    // A file that cannot be written says so.
    m_platform->QueueFileName(m_dir->filePath("geen/map/lijst.txt"));
    save->trigger();
    QCOMPARE(m_platform->messages, QStringList{"Opslaan van de bellijst is niet gelukt"});
}

void TestChatDlg::unreadableCallListIsKept()
{
    QVERIFY(QDir().mkdir(kCallListFileName));
    Open();
    QCOMPARE(Rows(), 0);
    Call("0301", "0302", "weg?");
    m_dlg.reset();
    QVERIFY(QFileInfo(kCallListFileName).isDir());
}

void TestChatDlg::shutdownReleasesBothLinksOnce()
{
    Open();
    QVERIFY(m_driver->Released().empty());
    m_dlg->reject(); // Esc
    m_dlg.reset();
    QCOMPARE(m_driver->Released(), (std::vector<unsigned>{1, 2}));
    QCOMPARE(ReadFile(kCallListFileName), QByteArray(""));
}

// ---------------------------------------------------------------- tray and window commands

void TestChatDlg::minimiseToTray()
{
    Open();
    QVERIFY(!m_dlg->TrayIcon());
    const QRect placed = m_dlg->geometry();
    Minimise();
    QSystemTrayIcon* tray = m_dlg->TrayIcon();
    QVERIFY(tray);
    QVERIFY(tray->isVisible());
    QCOMPARE(tray->toolTip(), QString("Klik met de rechter muisbutton"));
    QVERIFY(!(m_dlg->windowState() & Qt::WindowMinimized));

    TrayAction("Open CCapi...")->trigger();
    QVERIFY(m_dlg->isVisible());
    QCOMPARE(m_dlg->geometry(), placed);
    QVERIFY(tray->isVisible()); // stays while the window is shown

    Minimise();
    QCOMPARE(m_dlg->TrayIcon(), tray);
    QCOMPARE(m_dlg->findChildren<QSystemTrayIcon*>().size(), 1);

    // An incoming text brings the window back; the icon stays.
    WriteFile("telefoonboek.dat", "");
    Call("0301", "0302", "hallo");
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isVisible(), kWait);
    QVERIFY(tray->isVisible());
}

void TestChatDlg::minimiseWithoutNotificationArea()
{
    m_platform->notificationArea = false;
    Open();
    m_dlg->setWindowState(Qt::WindowMinimized);
    QTest::qWait(20);
    // Hidden it could not be reached again: it stays minimised instead.
    QVERIFY(!m_dlg->TrayIcon());
    QVERIFY(m_dlg->isVisible());
    QVERIFY(m_dlg->windowState() & Qt::WindowMinimized);
}

void TestChatDlg::trayIconCarriesItsMenu_data()
{
    QTest::addColumn<int>("reason");
    QTest::newRow("right button") << int(QSystemTrayIcon::Context);
    QTest::newRow("left click") << int(QSystemTrayIcon::Trigger);
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick);
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick);
}

void TestChatDlg::trayIconCarriesItsMenu()
{
    QFETCH(int, reason);
    Open();
    Minimise();
    // The desktop shows the icon's own menu (natively on StatusNotifierItem
    // hosts); the window pops up nothing itself and stays hidden.
    QCOMPARE(m_dlg->TrayIcon()->contextMenu(), m_dlg->TrayMenu());
    emit m_dlg->TrayIcon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCoreApplication::processEvents();
    QVERIFY(!m_dlg->TrayMenu()->isVisible());
    QVERIFY(!m_dlg->isVisible());
    QStringList items;
    for (QAction* action : m_dlg->TrayMenu()->actions())
        items << (action->isSeparator() ? "-" : action->text());
    QCOMPARE(items, (QStringList{"Open CCapi...", "Open Telefoonboek...", "-", "About...", "-", "Exit"}));
    QCOMPARE(m_dlg->TrayMenu()->defaultAction(), TrayAction("Open CCapi..."));
}

void TestChatDlg::exitFromTray()
{
    WriteFile("telefoonboek.dat", "");
    Open();
    Call("0301", "0302", "hoi");
    QTRY_COMPARE_WITH_TIMEOUT(StoredTexts(), QStringList{"hoi"}, kWait);
    // Gone meanwhile: only the shutdown's save brings it back.
    QVERIFY(QFile::remove(kCallListFileName));
    Minimise();
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    TrayAction("Exit")->trigger();
    QCOMPARE(finished.size(), 1);
    QVERIFY(m_driver->Released().empty()); // the links go with the window
    m_dlg.reset();
    QCOMPARE(ReadFile(kCallListFileName),
             QByteArray("0301\r\nniet in tel.boek\r\nhoi\r\n0302\r\n12/6/99\r\n9:05:07\r\n"
                        "Unrestricted digital information\r\n"));
    QCOMPARE(m_driver->Released(), (std::vector<unsigned>{1, 2}));
}

void TestChatDlg::enterKeepsEscEnds()
{
    Open();
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    Edit("phoneNumberEdit")->setFocus();
    Type("phoneNumberEdit", "0302");
    QTest::keyClick(Edit("phoneNumberEdit"), Qt::Key_Return);
    QTest::keyClick(m_dlg.get(), Qt::Key_Enter);
    QCOMPARE(finished.size(), 0);
    QVERIFY(SentTexts().empty());
    QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!m_dlg->isVisible());
}

void TestChatDlg::fold_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("height");
    QTest::newRow("Uit") << QStringList{"command32803"} << 499;
    QTest::newRow("Uit then In") << QStringList{"command32803", "command32802"} << 326;
    QTest::newRow("In on a folded window") << QStringList{"command32802"} << 326;
    QTest::newRow("In twice") << QStringList{"command32802", "command32802"} << 326;
    QTest::newRow("Uit twice") << QStringList{"command32803", "command32803"} << 499;
}

void TestChatDlg::fold()
{
    QFETCH(QStringList, commands);
    QFETCH(int, height);
    Open();
    QCOMPARE(FramedHeight(), 325);
    const QPoint topLeft = m_dlg->frameGeometry().topLeft();
    const int width = m_dlg->frameGeometry().width();
    for (const QString& command : commands) {
        auto* action = m_dlg->findChild<QAction*>(command);
        QVERIFY(action);
        action->trigger();
    }
    QCOMPARE(FramedHeight(), height);
    QCOMPARE(m_dlg->frameGeometry().topLeft(), topLeft);
    QCOMPARE(m_dlg->frameGeometry().width(), width);
    QVERIFY(m_dlg->isVisible());
}

void TestChatDlg::help_data()
{
    QTest::addColumn<bool>("helpFile");
    QTest::addColumn<bool>("manual");
    QTest::addColumn<QString>("opened"); // empty: nothing
    QTest::newRow("help file in the working directory") << true << true << "Zoemlijn.hlp";
    QTest::newRow("no help file: the manual") << false << true << "@/handleiding/index.html";
    QTest::newRow("neither") << false << false << QString();
}

void TestChatDlg::help()
{
    QFETCH(bool, helpFile);
    QFETCH(bool, manual);
    QFETCH(QString, opened);
    if (helpFile)
        WriteFile("Zoemlijn.hlp", "help");
    QVERIFY(QDir().mkdir("handleiding"));
    if (manual)
        WriteFile("handleiding/index.html", "<html></html>");
    SetManualPathForTesting(m_dir->filePath("handleiding/index.html"));
    Open();
    m_dlg->findChild<QAction*>("command32804")->trigger();
    QCOMPARE(m_platform->opened, opened.isEmpty() ? QStringList() : QStringList{opened.replace("@", m_dir->path())});
    QVERIFY(m_platform->messages.isEmpty());
}

void TestChatDlg::aboutFromTheWindowIcon()
{
    Open();
    QSignalSpy about(m_dlg.get(), &CChatDlg::AboutRequested);
    auto* icon = m_dlg->findChild<QLabel*>("linkIcon");
    QTest::mouseClick(icon, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->IconMenu()->isVisible(), kWait);
    const QList<QAction*> actions = m_dlg->IconMenu()->actions();
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions[0]->text(), QString("CCapi About ..."));
    actions[0]->trigger();
    QCOMPARE(about.size(), 1);
    m_dlg->IconMenu()->close();
}

void TestChatDlg::commandsOpenDialogs_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("dialog");
    QTest::newRow("Instellen") << "command32799" << "CMyPropertySheet";
    QTest::newRow("Open Telefoonboek...") << "Open Telefoonboek..." << "CMyPropertySheet";
    QTest::newRow("Wizard") << "command32808" << "CWizardSheet";
}

void TestChatDlg::commandsOpenDialogs()
{
    QFETCH(QString, command);
    QFETCH(QString, dialog);
    WriteFile("telefoonboek.dat", "");
    Open();
    QSignalSpy about(m_dlg.get(), &CChatDlg::AboutRequested);
    QString opened;
    int dialogsOpen = 0;
    When([] { return QApplication::activeModalWidget() != nullptr; },
         [&](bool met) {
             QWidget* modal = QApplication::activeModalWidget();
             opened = met ? modal->metaObject()->className() : QString();
             // The window behind takes no click: its send button would ask
             // for a number.
             const QPoint at = SendButton()->mapTo(m_dlg.get(), SendButton()->rect().center());
             QTest::mouseClick(m_dlg->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
             // The tray's commands that open a dialog wait their turn; one
             // that opened anyway is counted and closed.
             QTimer::singleShot(50, [&, modal] {
                 for (QWidget* widget : QApplication::topLevelWidgets())
                     if (widget->isVisible() && qobject_cast<QDialog*>(widget) && widget != m_dlg.get())
                         ++dialogsOpen;
                 for (QWidget* widget : QApplication::topLevelWidgets())
                     if (widget != modal && widget != m_dlg.get())
                         if (auto* extra = qobject_cast<QDialog*>(widget))
                             extra->reject();
                 if (auto* box = qobject_cast<QDialog*>(modal))
                     box->reject();
             });
             TrayAction("Open Telefoonboek...")->trigger();
             TrayAction("About...")->trigger();
         });
    QAction* action = command.startsWith("command") ? m_dlg->findChild<QAction*>(command) : TrayAction(command);
    QVERIFY(action);
    action->trigger();
    QCOMPARE(opened, dialog);
    QCOMPARE(dialogsOpen, 1);
    QCOMPARE(about.size(), 0);
    QCOMPARE(m_platform->messages, QStringList());
    QVERIFY(m_dlg->isVisible());
}

// ---------------------------------------------------------------- notifications, count, reports, hook

void TestChatDlg::notificationMode_data()
{
    QTest::addColumn<uint>("setting");
    QTest::addColumn<bool>("service");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<QByteArray>("calling");
    QTest::addColumn<bool>("shown");            // after the text and its clearing
    QTest::addColumn<QStringList>("notified");  // summary and body of each
    QTest::addColumn<int>("count");
    QTest::newRow("off: the window comes up")
        << 0u << true << true << QByteArray("0309") << true << QStringList() << 0;
    QTest::newRow("on: a notification instead, the window stays hidden")
        << 1u << true << true << QByteArray("0309") << false << QStringList{"0309", "hallo daar"} << 1;
    QTest::newRow("on, the caller's name over the text")
        << 1u << true << true << QByteArray("0301") << false << QStringList{"Jan", "hallo daar"} << 1;
    QTest::newRow("on, no notification service: the window comes up")
        << 1u << false << true << QByteArray("0309") << true << QStringList() << 0;
    QTest::newRow("on, the window shown: nothing else") << 1u << true << false << QByteArray("0309") << true
                                                        << QStringList() << 0;
    QTest::newRow("on, a Stil caller: counted, nothing pops up")
        << 1u << true << true << QByteArray("0307") << false << QStringList() << 1;
}

void TestChatDlg::notificationMode()
{
    QFETCH(uint, setting);
    QFETCH(bool, service);
    QFETCH(bool, hidden);
    QFETCH(QByteArray, calling);
    QFETCH(bool, shown);
    QFETCH(QStringList, notified);
    QFETCH(int, count);
    WriteExtraInt(Extra::Notifications, setting);
    m_platform->notificationService = service;
    OpenWithBook("0301\r\nJan\r\n\r\n\r\n0307\r\nStille\r\nStil\r\n\r\n");
    if (hidden)
        Minimise();
    Call(calling, "0302", "hallo daar");
    // The clearing of the call and a message of the sending link: other
    // link activity.
    m_driver->QueueTo(1, CapiMessage(DisconnectInd, 1, m_plci - 1, QByteArray("\x9d\x34", 2)));
    m_driver->QueueTo(2, CapiMessage(InfoConf, 2, 0, QByteArray(2, '\0')));
    Settle();

    QCOMPARE(m_dlg->isVisible(), shown);
    QStringList seen;
    for (const FakePlatform::Notification& notification : m_platform->notifications)
        seen << notification.summary << notification.body;
    QCOMPARE(seen, notified);
    QCOMPARE(m_dlg->TrayBadge().Count(), count);
    // Listed and logged whatever the mode.
    QCOMPARE(Rows(), 1);
    QCOMPARE(Log(), QString("Ontv: hallo daar\n"));
    QCOMPARE(m_platform->messages, QStringList());
}

void TestChatDlg::missedTextCountAndReset()
{
    WriteExtraInt(Extra::Notifications, 1);
    OpenWithBook();
    Minimise();
    QSystemTrayIcon* tray = m_dlg->TrayIcon();
    const QImage plain = tray->icon().pixmap(22, 22).toImage();
    for (int i = 1; i <= 2; ++i) {
        Call("0309", "0302", "tekst");
        QCOMPARE(m_dlg->TrayBadge().Count(), i);
        QVERIFY(tray->icon().pixmap(22, 22).toImage() != plain);
    }
    QCOMPARE(tray->toolTip(), QString("Klik met de rechter muisbutton\n2 nieuwe teksten"));
    Settle();
    QVERIFY(!m_dlg->isVisible());

    // A click on a notification shows the window: seen, the plain icon and
    // tip again.
    QVERIFY(m_platform->ClickNotification(1));
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isVisible(), kWait);
    QCOMPARE(m_dlg->TrayBadge().Count(), 0);
    QCOMPARE(tray->toolTip(), QString("Klik met de rechter muisbutton"));
    QCOMPARE(tray->icon().pixmap(22, 22).toImage(), plain);
    // Hidden again: counted from nothing; a notification the service could
    // not show brings the window too.
    Settle();
    Minimise();
    Call("0309", "0302", "weer weg");
    QCOMPARE(tray->toolTip(), QString("Klik met de rechter muisbutton\n1 nieuwe tekst"));
    QVERIFY(m_platform->FailNotification(2));
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isVisible(), kWait);
    QCOMPARE(m_dlg->TrayBadge().Count(), 0);
    // Once the window is gone, a click does nothing.
    m_dlg.reset();
    QVERIFY(!m_platform->ClickNotification(0));
}

void TestChatDlg::deliveryReport_data()
{
    // Every reason's words are TestDisconnectReasons'; here, that each line
    // is the table's and finds its text with several calls in flight.
    QTest::addColumn<uint>("setting");
    QTest::newRow("off: no lines") << 0u;
    QTest::newRow("on") << 1u;
}

void TestChatDlg::deliveryReport()
{
    QFETCH(uint, setting);
    WriteSetting(Setting::FastSend, 1);
    WriteExtraInt(Extra::DeliveryReport, setting);
    Open();
    QSignalSpy sent(&m_dlg->Service(), &CZoemlijnService::TextSent);
    QSignalSpy delivery(&m_dlg->Service(), &CZoemlijnService::Delivery);
    SendText("0301", "een");   // PLCI 1
    SendText("0302", "twee");  // PLCI 2
    SendText("0303", "drie");  // PLCI 3
    Settle();
    QCOMPARE(sent.count(), 3);
    QCOMPARE(sent[1], (QVariantList{"0302", "twee"}));
    // The second is cleared first; the first then says which text it is.
    // The receiving link's clearings are not of a sent text.
    ClearSent(2, 0x3491);
    m_driver->QueueTo(1, CapiMessage(DisconnectInd, 1, 1, QByteArray("\x9d\x34", 2)));
    ClearSent(1, 0x349D);
    ClearSent(3, 0x3490);
    QTRY_COMPARE_WITH_TIMEOUT(delivery.count(), 3, kWait);
    Settle();
    QCOMPARE(delivery.count(), 3);
    QCOMPARE(delivery[0], (QVariantList{"0302", "twee", QVariant::fromValue(quint16(0x3491))}));
    const QString texts = "Verz: een\nVerz: twee\nVerz: drie\n";
    QCOMPARE(Log(), setting ? texts + "Niet afgeleverd: in gesprek (aan 0302: twee)\nAfgeleverd (aan 0301: een)\n"
                                      "Niet afgeleverd (0x3490)\n"
                            : texts);
    QCOMPARE(m_dlg->SentTexts().InFlight(), 0);
    QCOMPARE(Rows(), 0);
}

void TestChatDlg::deliveryReportAfterThePause()
{
    WriteExtraInt(Extra::DeliveryReport, 1);
    Open();
    bool held = false;
    m_platform->onTimer = [&](const FakePlatform::Timer&) {
        // The clearing comes during the pause: its line waits for the end.
        ClearSent(1, 0x349D);
        // The link waits with its confirmation, the clearing behind it.
        When([&] { return m_dlg->Notifications().Pending() >= 1 && m_driver->Pending(2) == 1; },
             [&](bool met) {
                 held = met && Log() == "Verz: langzaam\n";
                 m_platform->FireTimer();
             });
    };
    SendText("0302", "langzaam");
    QVERIFY(held);
    QTRY_COMPARE_WITH_TIMEOUT(Log(), QString("Verz: langzaam\nAfgeleverd\n"), kWait);
}

void TestChatDlg::textHookForEveryText()
{
    // The numbers as the window shows them (here with AddZero), the name
    // from the phone book; the setting is read at each text.
    WriteExtraText(Extra::TextHook, "/opt/bij tekst");
    WriteSetting(Setting::AddZero, 1);
    OpenWithBook("0301\r\nJan\r\n\r\n\r\n");
    Call("301", "302", "hoi daar");
    QCOMPARE(m_platform->programsStarted.size(), size_t(1));
    const FakePlatform::Program& program = m_platform->programsStarted[0];
    QCOMPARE(program.program, QString("/opt/bij tekst"));
    QCOMPARE(program.arguments.mid(0, 5),
             (QStringList{"0301", "Jan", "hoi daar", "0302", "Unrestricted digital information"}));
    // The clock's time with its offset from UTC, whatever zone the test runs in.
    QVERIFY2(program.arguments.value(5).startsWith("1999-12-06T09:05:07"), qPrintable(program.arguments.value(5)));
    WriteExtraText(Extra::TextHook, "");
    Call("301", "302", "geen programma");
    QCOMPARE(m_platform->programsStarted.size(), size_t(1));
}

// ---------------------------------------------------------------- the service (D-Bus)

void TestChatDlg::serviceSend()
{
    // As the button does (its refusals are send's), but the caller is told,
    // not the user, and what the user is typing stays where it is.
    WriteSetting(Setting::FastSend, 1);
    Open();
    Type("phoneNumberEdit", "0309");
    Type("sendTextEdit", "half af");
    QSignalSpy sent(&m_dlg->Service(), &CZoemlijnService::TextSent);
    const CZoemlijnService::SendResult refused = m_dlg->Service().Send("", "hallo");
    QCOMPARE(refused.status, CZoemlijnService::SendStatus::Refused);
    QCOMPARE(refused.message, QString("Wel een nummer invullen"));
    QCOMPARE(m_dlg->Service().Send("0302", QString::fromUtf8("€ café")).status, CZoemlijnService::SendStatus::Accepted);
    QCOMPARE(int(SentTexts().size()), 1);
    QCOMPARE(SentTexts()[0].number, QByteArray("0302"));
    QCOMPARE(SentTexts()[0].text, QByteArray("\x80 caf\xe9"));
    QCOMPARE(sent.count(), 1);
    QCOMPARE(Log(), QString::fromUtf8("Verz: € café\n"));
    QCOMPARE(Edit("phoneNumberEdit")->text(), QString("0309"));
    QCOMPARE(Edit("sendTextEdit")->text(), QString("half af"));
    QVERIFY(SendButton()->isEnabled());
    QCOMPARE(m_platform->messages, QStringList());
}

void TestChatDlg::serviceSendDuringThePause_data()
{
    QTest::addColumn<bool>("byButton"); // else the first send is the service's too
    QTest::newRow("after the button") << true;
    QTest::newRow("after the service") << false;
}

void TestChatDlg::serviceSendDuringThePause()
{
    QFETCH(bool, byButton);
    Open();
    std::optional<CZoemlijnService::SendResult> during;
    m_platform->onTimer = [&](const FakePlatform::Timer& timer) {
        QCOMPARE(timer.milliseconds, 4000);
        QVERIFY(!SendButton()->isEnabled());
        during = m_dlg->Service().Send("0303", "tussendoor");
        QTimer::singleShot(0, [this] { m_platform->FireTimer(); });
    };
    if (byButton) {
        SendText("0302", "eerste");
    } else {
        QCOMPARE(m_dlg->Service().Send("0302", "eerste").status, CZoemlijnService::SendStatus::Accepted);
        // Refused at once, before the pause has started.
        QCOMPARE(m_dlg->Service().Send("0303", "te vroeg").message, QString(CZoemlijnService::kRefusedPause));
        QVERIFY(!SendButton()->isEnabled());
    }
    QTRY_VERIFY_WITH_TIMEOUT(during.has_value(), kWait);
    QCOMPARE(during->status, CZoemlijnService::SendStatus::Refused);
    QCOMPARE(during->message, QString(CZoemlijnService::kRefusedPause));
    QTRY_VERIFY_WITH_TIMEOUT(SendButton()->isEnabled(), kWait);
    QCOMPARE(Log(), QString("Verz: eerste\n"));
    QCOMPARE(int(SentTexts().size()), 1);
    // After the pause the next one goes.
    WriteSetting(Setting::FastSend, 1);
    QCOMPARE(m_dlg->Service().Send("0304", "derde").status, CZoemlijnService::SendStatus::Accepted);
    QCOMPARE(int(SentTexts().size()), 2);
    QCOMPARE(m_platform->messages, QStringList());
}

void TestChatDlg::serviceHearsTheWindow()
{
    // What it hears of sent texts and their calls: deliveryReport.
    OpenWithBook();
    CZoemlijnService& service = m_dlg->Service();
    QVERIFY(service.LinkUp());
    QSignalSpy received(&service, &CZoemlijnService::TextReceived);
    QSignalSpy linkUp(&service, &CZoemlijnService::LinkUpChanged);

    Call("0302", "0301", "caf\xe9\r\n\x80");
    QCOMPARE(received.count(), 1);
    QCOMPARE(received[0], (QVariantList{"0302", "", QString::fromUtf8("café  €"), "0301",
                                        "Unrestricted digital information", m_platform->now.toSecsSinceEpoch()}));

    m_driver->FailDriver(0x1101);
    QTRY_COMPARE_WITH_TIMEOUT(linkUp.count(), 1, kWait);
    QCOMPARE(linkUp[0], QVariantList{false});
    m_driver->FailDriver(0);
    QTRY_COMPARE_WITH_TIMEOUT(linkUp.count(), 2, 3 * kWait);
    QCOMPARE(linkUp[1], QVariantList{true});
    QVERIFY(service.LinkUp());
}

QTEST_MAIN(TestChatDlg)
#include "TestChatDlg.moc"
