#pragma once

#include <QString>

#include "ROZUdivev.h"

class PromptWindow;

// Behind the D-Bus method Authenticate: opens the prompt window for one question of ssh's
// askpass program and returns at once, before the user answers.
class AuthenticationBridge {
public:
    // false (with *error set) for an empty query or fifo; no window is opened then.
    static bool authenticate(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                             const QString& fifo, QString* error);

    // Whether ssh asks yes or no (an unknown host key) rather than for a password.
    static bool isYesNoQuestion(const QString& query);
    // The first tunnel of that name in list order, or null.
    static TunnelPtr tunnelNamed(const TunnelList& tunnels, const QString& name);
    // The window for one question, set up but not shown; owned by nobody once shown.
    static PromptWindow* makeWindow(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                    const QString& fifo);
};
