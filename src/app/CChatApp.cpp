#include "CChatApp.h"

#include "AppIcon.h"
#include "CAboutDlg.h"
#include "CChatDlg.h"
#include "CWizardSheet.h"
#include "SettingsStore.h"
#include "TerminationSignals.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QSessionManager>
#include <QTranslator>

CChatApp::CChatApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QString::fromLatin1(kSettingsApplication));
    // Ties the window to its menu entry where the desktop matches by name.
    setDesktopFileName(QStringLiteral("zoemlijn"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("zoemlijn"), res::AppIcon()));
    // The window hides to the tray; only its own end ends the program.
    setQuitOnLastWindowClosed(false);
    // Every text of the program is Dutch, so Qt's own are too (file
    // dialogs, message boxes, context menus), whatever the user's locale.
    auto* qtTexts = new QTranslator(this);
    if (qtTexts->load(QLocale(QLocale::Dutch, QLocale::Netherlands), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(qtTexts);
    // A logout, kill or closed terminal, and the end of the desktop
    // session, end the run as Exit does: the call list is saved and the
    // links are released.
    auto* terminationSignals = new CTerminationSignals(this);
    connect(terminationSignals, &CTerminationSignals::Received, this, &CChatApp::Terminate);
    connect(this, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { Terminate(); });
    connect(this, &QCoreApplication::aboutToQuit, this, &CChatApp::Terminate);
}

void CChatApp::Terminate()
{
    m_terminating = true;
    // The dialogs on top first: the window's run ends only when the
    // nested runs inside it have.
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* modal = activeModalWidget();
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog || qobject_cast<CChatDlg*>(dialog))
            break;
        dialog->reject();
        dialog->hide();
    }
    for (QWidget* widget : topLevelWidgets())
        if (auto* window = qobject_cast<CChatDlg*>(widget))
            window->reject();
}

bool CChatApp::InitInstance()
{
    m_terminating = false;
    // Before any setting is touched.
    setOrganizationName(QString::fromLatin1(kSettingsCompany));

    if (ReadSetting(Setting::FirstStart) == 0) {
        CWizardSheet wizard(nullptr);
        wizard.exec();
    }
    // At every start, however the wizard ended.
    WriteSetting(Setting::FirstStart, 1);
    if (m_terminating)
        return false;

    CChatDlg dialog;
    connect(&dialog, &CChatDlg::AboutRequested, &dialog, [&dialog] {
        CAboutDlg about(&dialog);
        about.exec();
    });
    dialog.DoModal();
    return false;
}
