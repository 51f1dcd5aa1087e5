// The application's start: the wizard on a first start only, "FirstStart"
// written at every start, then the main window; the run ends with it.
#include "CAboutDlg.h"
#include "CChatApp.h"
#include "CChatDlg.h"
#include "CWizardSheet.h"
#include "CapiDriver.h"
#include "FakePlatform.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

// What the run showed, in order, each closed again as soon as it appeared.
QStringList RunApp(CChatApp& app, const std::function<void(CChatDlg*)>& inWindow = {})
{
    QStringList shown;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible())
                continue;
            if (auto* wizard = qobject_cast<CWizardSheet*>(widget)) {
                shown << "wizard";
                wizard->reject();
            } else if (auto* window = qobject_cast<CChatDlg*>(widget)) {
                shown << "window";
                if (inWindow)
                    inWindow(window);
                window->reject();
            }
        }
    });
    poll.start();
    const bool loop = app.InitInstance();
    shown << (loop ? "loop" : "end");
    return shown;
}

} // namespace

class TestChatApp : public QObject
{
    Q_OBJECT

public:
    explicit TestChatApp(CChatApp& app) : m_app(app) {}

private slots:
    void init();
    void cleanup();
    void firstStart_data();
    void firstStart();
    void aboutFromTheTray();
    void qtTextsInDutch_data();
    void qtTextsInDutch();
    void terminationEndsTheRun_data();
    void terminationEndsTheRun();

private:
    CChatApp& m_app;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    std::unique_ptr<FakePlatform> m_platform;
};

void TestChatApp::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    SetSettingsFileForTesting(m_dir->filePath("Zoemlijn.conf"));
    m_platform = std::make_unique<FakePlatform>();
    // No driver: the window says so and runs all the same.
    CapiBinding::ResetForTesting();
    CapiBinding::SetLibraryNameForTesting("libcapi-that-is-not-there.so.9");
}

void TestChatApp::cleanup()
{
    CapiBinding::ResetForTesting();
    m_platform.reset();
    SetSettingsFileForTesting(QString());
    QDir::setCurrent(m_previousDir);
}

void TestChatApp::firstStart_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QStringList>("shown");
    const QStringList withWizard{"wizard", "window", "end"};
    const QStringList straight{"window", "end"};
    QTest::newRow("missing") << QVariant() << withWizard;
    QTest::newRow("0") << QVariant(0) << withWizard;
    QTest::newRow("1") << QVariant(1) << straight;
    QTest::newRow("2") << QVariant(2) << straight;
    QTest::newRow("not a number") << QVariant("ja") << withWizard;
}

void TestChatApp::firstStart()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, shown);
    if (stored.isValid()) {
        QSettings settings(m_dir->filePath("Zoemlijn.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Capi settings/FirstStart"), stored);
    }
    QCOMPARE(RunApp(m_app), shown);
    QCOMPARE(ReadSetting(Setting::FirstStart), 1u);
    QCOMPARE(QCoreApplication::organizationName(), QString("Vlinderwerk"));
    QCOMPARE(QCoreApplication::applicationName(), QString("Zoemlijn"));
    // A cancelled wizard stores nothing else and is not offered again.
    QCOMPARE(ReadSetting(Setting::FastSend), 0u);
    QCOMPARE(RunApp(m_app), (QStringList{"window", "end"}));
}

void TestChatApp::aboutFromTheTray()
{
    WriteSetting(Setting::FirstStart, 1);
    QString caption, version;
    RunApp(m_app, [&](CChatDlg* window) {
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            if (!about)
                return;
            caption = about->windowTitle();
            version = about->findChild<QLabel*>("versionLabel")->text();
            about->accept();
        });
        for (QAction* action : window->TrayMenu()->actions())
            if (action->text() == "About...")
                action->trigger();
    });
    QCOMPARE(caption, QString("About Zoemlijn"));
    QCOMPARE(version, QString("Zoemlijn Versie Beta 0.5"));
}

void TestChatApp::qtTextsInDutch_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("english");
    QTest::addColumn<QString>("dutch");
    QTest::newRow("Save As dialog") << QByteArray("QFileDialog") << QByteArray("Save As") << "Opslaan als";
    QTest::newRow("edit field menu") << QByteArray("QLineEdit") << QByteArray("&Copy") << QString::fromUtf8("&Kopiëren");
}

void TestChatApp::qtTextsInDutch()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, english);
    QFETCH(QString, dutch);
    QCOMPARE(QCoreApplication::translate(context.constData(), english.constData()), dutch);
}

void TestChatApp::terminationEndsTheRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("aboutOpen");
    QTest::newRow("SIGTERM") << "SIGTERM" << false;
    QTest::newRow("SIGTERM over the About box") << "SIGTERM" << true;
    QTest::newRow("application quits") << "aboutToQuit" << false;
}

void TestChatApp::terminationEndsTheRun()
{
    QFETCH(QString, how);
    QFETCH(bool, aboutOpen);
    WriteSetting(Setting::FirstStart, 1);
    auto end = [how] {
        if (how == "aboutToQuit")
            QMetaMethod::fromSignal(&QCoreApplication::aboutToQuit).invoke(qApp, Qt::DirectConnection);
        else
            std::raise(SIGTERM); // SIGINT and SIGHUP are caught alike (TestDesktopSeams)
    };
    bool ended = false;
    bool stuck = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        CChatDlg* window = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<CChatDlg*>(widget); found && found->isVisible())
                window = found;
        if (!window || ended)
            return;
        ended = true;
        // Gone meanwhile: only the shutdown's save brings it back.
        QFile::remove("bellijst.dat");
        if (!aboutOpen) {
            end();
            return;
        }
        QTimer::singleShot(20, end);
        for (QAction* action : window->TrayMenu()->actions())
            if (action->text() == "About...")
                action->trigger();
    });
    // A run that the signal did not end is ended here, and fails.
    QTimer::singleShot(5000, [&] {
        stuck = true;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(widget))
                dialog->reject();
    });
    poll.start();
    QVERIFY(!m_app.InitInstance());
    poll.stop();
    QVERIFY(ended);
    QVERIFY(!stuck);
    QVERIFY(QFile::exists("bellijst.dat"));
}

int main(int argc, char** argv)
{
    CChatApp app(argc, argv);
    TestChatApp test(app);
    // The termination signals are under test: Qt Test's own handler would
    // take them for a crash and dump a stack first.
    QStringList arguments = app.arguments();
    arguments.insert(1, QStringLiteral("-nocrashhandler"));
    return QTest::qExec(&test, arguments);
}

#include "TestChatApp.moc"
