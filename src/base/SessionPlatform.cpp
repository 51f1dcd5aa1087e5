#include "SessionPlatform.h"

QByteArray ChooseQtPlatform(const std::function<QByteArray(const char*)>& environment, const QStringList& arguments)
{
    if (!environment("QT_QPA_PLATFORM").isEmpty())
        return {};
    for (const QString& argument : arguments)
        if (argument == QLatin1String("-platform") || argument == QLatin1String("--platform") ||
            argument.startsWith(QLatin1String("-platform=")) || argument.startsWith(QLatin1String("--platform=")))
            return {};
    const bool wayland = environment("XDG_SESSION_TYPE") == "wayland" || !environment("WAYLAND_DISPLAY").isEmpty();
    // Without an X server beside it, Wayland itself it is.
    if (wayland && !environment("DISPLAY").isEmpty())
        return QByteArrayLiteral("xcb");
    return {};
}
