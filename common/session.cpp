#include "common/session.h"

#include <QGuiApplication>

namespace kelv {

QString Session::type()
{
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland")))
        return QStringLiteral("wayland");
    if (platform == QLatin1String("windows"))
        return QStringLiteral("windows");
    if (platform == QLatin1String("xcb"))
        return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
                       qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
                   ? QStringLiteral("wayland") // through XWayland
                   : QStringLiteral("x11");
    return platform;
}

bool Session::isWayland()
{
    return type() == QLatin1String("wayland");
}

QString Session::desktop()
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP");
}

} // namespace kelv
