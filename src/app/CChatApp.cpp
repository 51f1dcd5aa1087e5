#include "CChatApp.h"

#include "AppIcon.h"
#include "CAboutDlg.h"
#include "CChatDlg.h"
#include "CWizardSheet.h"
#include "SettingsStore.h"

CChatApp::CChatApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QString::fromLatin1(kSettingsApplication));
    // Ties the window to its menu entry where the desktop matches by name.
    setDesktopFileName(QStringLiteral("zoemlijn"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("zoemlijn"), res::AppIcon()));
    // The window hides to the tray; only its own end ends the program.
    setQuitOnLastWindowClosed(false);
}

bool CChatApp::InitInstance()
{
    // Before any setting is touched.
    setOrganizationName(QString::fromLatin1(kSettingsCompany));

    if (ReadSetting(Setting::FirstStart) == 0) {
        CWizardSheet wizard(nullptr);
        wizard.exec();
    }
    // At every start, however the wizard ended.
    WriteSetting(Setting::FirstStart, 1);

    CChatDlg dialog;
    connect(&dialog, &CChatDlg::AboutRequested, &dialog, [&dialog] {
        CAboutDlg about(&dialog);
        about.exec();
    });
    dialog.DoModal();
    return false;
}
