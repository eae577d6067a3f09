#pragma once

// What a windowing system leaves out by design. Wayland leaves a window's place to the
// compositor (a position set or read is not the screen's) and has no X11 tray for Qt's own tray
// icon to dock into; the tray then goes through Zandrel's StatusNotifierItem alone.
class WindowingLimits {
public:
    static bool onWayland();
};
