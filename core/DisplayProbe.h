#pragma once

#include <chrono>
#include <string>
#include <vector>

// Whether the desktop part can open a display, tried in a child before this process hands itself
// over: Qt aborts a program whose platform plugin cannot start (missing, or no display behind
// it), and the tunnels must outlive that. The child is the desktop part itself with
// ZANDREL_DISPLAY_PROBE set; it only starts Qt's platform and exits.
class DisplayProbe {
public:
    static constexpr const char* kVariable = "ZANDREL_DISPLAY_PROBE";
    static constexpr std::chrono::milliseconds kTimeout{5000};

    struct Result {
        bool opened = false;
        std::string reason;  // when not opened: one line, Qt's own words where it said any
    };

    // program: the desktop part; args: the arguments it is to start with (Qt's -platform and
    // -display among them).
    static Result run(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = kTimeout);
    // The line that says why, out of what the child wrote to standard error.
    static std::string reasonFrom(const std::string& output);
};
