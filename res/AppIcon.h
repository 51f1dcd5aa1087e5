// The program's own icon, for the window, the tray and the About box.
#pragma once

#include <QIcon>

namespace res {

// Scales from 16 px up. Qt's SVG icon engine keeps one drawing per mode and
// ignores the size a file was added for, so this icon chooses itself: the
// drawing made for the 16-px grid up to 16 device pixels, the full one above.
QIcon AppIcon();

} // namespace res
