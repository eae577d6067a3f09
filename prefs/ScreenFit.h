#pragma once

class QWidget;

// Keeps a top-level window within its screen's free area (a 1366x768 laptop, a 1920x1080 screen
// at scale 2): larger than that, it shrinks to it, and its layout scrolls where it must. The
// window is never moved: where it goes is the window manager's (Wayland allows no other).
class ScreenFit {
public:
    // Before the window is first shown its frame is unknown: room for a title bar is kept.
    static void fit(QWidget* window);
    static constexpr int kTitleRoom = 40;
};
