// zoemlijn: the main window, run modally; the program ends with it.
#include "CChatDlg.h"
#include "DesktopPlatform.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Vlinderwerk"));
    QApplication::setApplicationName(QStringLiteral("Zoemlijn"));
    CDesktopPlatform platform;
    CPlatform::Install(&platform);
    {
        CChatDlg dialog;
        dialog.exec();
    }
    CPlatform::Install(nullptr);
    return 0;
}
