#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <cstdio>

// zandrel --list, --start NAME, --stop NAME, --reconnect-all, --show, --quit, --add, --remove
// NAME, --import, --events NAME, --status NAME, --export, --import-file FILE and a tunnel file to open: a client of the
// running instance's D-Bus service, with no display of its own.
class ZandrelCommandLine {
public:
    enum class Command {
        None,
        List,
        Start,
        Stop,
        ReconnectAll,
        Show,
        Quit,
        Add,
        Remove,
        Import,
        Events,
        Status,
        Export,
        ImportFile,
        OpenFile
    };

    // The client command an option names (None for any other option).
    static Command commandFor(const QString& option);
    // Takes exactly one tunnel name.
    static bool takesName(Command command);
    // Takes every word that follows it.
    static bool takesRest(Command command);

    // Whether a Zandrel answers on the bus.
    static bool isRunning(QDBusConnection bus);
    // Runs the command against the instance on bus: 0 on success; 1 with a one-line message
    // on err when no instance runs, the name is unknown or the call fails. words: the name, or
    // what follows the option.
    static int run(Command command, const QStringList& words, QDBusConnection bus, FILE* out, FILE* err);
};
