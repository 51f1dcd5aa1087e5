// The one seam for platform services that tests must not trigger for real:
// message boxes now; file dialogs, sound and opening files with the desktop
// join it as the program grows. Tests install their own implementation.
#pragma once

#include <QString>

class CPlatform
{
public:
    virtual ~CPlatform();

    // A message box with one OK button and an exclamation icon, captioned
    // with the application's name. Blocks until the user closes it.
    virtual void ShowMessage(const QString& text) = 0;

    // The implementation in force: the one installed last, or a console one
    // that writes to stderr (command-line tools, tests that install none).
    static CPlatform& Instance();
    // The caller keeps ownership; nullptr goes back to the console one.
    static void Install(CPlatform* platform);
};
