#pragma once

#include <string>

// The desktop program's side of a run as the core sees it: its tunnels window. A headless run
// has none.
class DesktopFront {
public:
    virtual ~DesktopFront() = default;

    // The window's start-up steps, which load the tunnel list (starting the auto-connect tunnels).
    virtual void setUpWindowAndTunnels() = 0;
    // Shows the tunnels window and brings it to the front (a second launch, D-Bus ShowWindow).
    virtual void showWindow() = 0;
    // Shows the window and the import of a tunnel file (the file opened from a file manager).
    virtual void openTunnelFile(const std::string& path) = 0;
};
