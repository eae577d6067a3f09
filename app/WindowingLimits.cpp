#include "WindowingLimits.h"

#include <QGuiApplication>

bool WindowingLimits::onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }
