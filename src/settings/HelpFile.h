// The help file the sheets' Help buttons open: "Zoemlijn.hlp" beside the
// executable.
#pragma once

#include <QString>

QString HelpFilePath();
// Through the platform seam; nothing is reported when the desktop cannot
// open it.
void OpenHelpFile();
