// Which Qt platform the window runs on. On a Wayland session it takes
// XWayland unless the user chose one: Wayland tells a program nothing of its
// window being minimised, and minimising is what hides the window in the
// tray.
#pragma once

#include <QByteArray>
#include <QStringList>

#include <functional>

// The value for QT_QPA_PLATFORM, or empty to leave Qt's own choice.
// `environment` reads a variable (empty when unset).
QByteArray ChooseQtPlatform(const std::function<QByteArray(const char*)>& environment, const QStringList& arguments);
