// The application object: where the settings live, the first-start wizard,
// then the main window, run modally; the program ends with it.
#pragma once

#include <QApplication>

class CChatApp final : public QApplication
{
    Q_OBJECT

public:
    CChatApp(int& argc, char** argv);

    // The whole run. Always false: no event loop of the program's own
    // follows the main window.
    bool InitInstance();

    // Ends the run through the normal shutdown, as the window's Exit does:
    // closes whatever dialog is open, then the window. For SIGTERM, SIGINT,
    // SIGHUP and the end of the desktop session.
    void Terminate();

private:
    bool m_terminating = false;
};
