// zoemlijn: the main window, run modally; the program ends with it.
#include "CChatApp.h"
#include "DesktopPlatform.h"

int main(int argc, char** argv)
{
    CChatApp app(argc, argv);
    CDesktopPlatform platform;
    CPlatform::Install(&platform);
    app.InitInstance();
    CPlatform::Install(nullptr);
    return 0;
}
