// zoemlijn: the main window, run modally; the program ends with it.
#include "CChatApp.h"
#include "DesktopPlatform.h"
#include "SessionPlatform.h"

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QByteArray platform = ChooseQtPlatform([](const char* name) { return qgetenv(name); }, arguments);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);

    CChatApp app(argc, argv);
    CDesktopPlatform platformServices;
    CPlatform::Install(&platformServices);
    app.InitInstance();
    CPlatform::Install(nullptr);
    return 0;
}
