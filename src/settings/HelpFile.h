// Help: the old help files where a user still has them, else the manual
// that comes with the program, through the desktop.
#pragma once

#include <QString>

// "Zoemlijn.hlp" beside the executable, which the sheets' Help buttons open.
QString HelpFilePath();
// The installed manual's start page, or the one in the source tree for a
// copy run from its build folder; empty when neither is there.
QString ManualPath();
// Opens `helpFile` when it exists, else the manual. Through the platform
// seam; nothing is reported when the desktop cannot open it.
void OpenHelp(const QString& helpFile);
void OpenHelpFile();
// Tests name their own manual; an empty path goes back to the real ones.
void SetManualPathForTesting(const QString& path);
