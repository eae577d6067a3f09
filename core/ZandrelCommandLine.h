#pragma once

#include <QDBusConnection>
#include <QString>
#include <cstdio>

// zandrel --list, --start NAME, --stop NAME, --reconnect-all, --show, --quit: a client of the
// running instance's D-Bus service, with no display of its own.
class ZandrelCommandLine {
public:
    enum class Command { None, List, Start, Stop, ReconnectAll, Show, Quit };

    // The client command an option names (None for any other option); whether it takes a name.
    static Command commandFor(const QString& option);
    static bool takesName(Command command);

    // Runs the command against the instance on bus: 0 on success; 1 with a one-line message
    // on err when no instance runs, the name is unknown or the call fails.
    static int run(Command command, const QString& name, QDBusConnection bus, FILE* out, FILE* err);
};
