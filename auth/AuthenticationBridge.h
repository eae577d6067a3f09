#pragma once

#include <QString>

#include "ROZUdivev.h"

// Behind the D-Bus method Authenticate: opens the prompt window for one question of ssh's
// askpass program and returns at once, before the user answers.
class AuthenticationBridge {
public:
    // false (with *error set) for an empty query or fifo; no window is opened then.
    static bool authenticate(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                             const QString& fifo, QString* error);
};
