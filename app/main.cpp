// zandrel-desktop: the desktop part of zandrel, which hands a session with a display over to it
// (same process, same arguments, options already checked). Without a display that can be opened
// it says so and ends instead of aborting. With ZANDREL_DISPLAY_PROBE set it only tries the
// display, for zandrel to choose between the desktop and the headless mode.
#include <unistd.h>

#include <QDBusConnection>
#include <QGuiApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "AutostartEntry.h"
#include "DesktopStartup.h"
#include "DisplayProbe.h"
#include "Tunnel.h"
#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

namespace {

// Qt ends the process with abort() when its platform cannot start (a display that cannot be
// reached, for instance); say what happened and end with an error status instead.
void startupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "zandrel: cannot open the desktop session: %s\n", qPrintable(message));
        std::fflush(stderr);
        _exit(1);
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// What Qt says while its platform starts, a line a message, for zandrel to quote.
void probeMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    std::fprintf(stderr, "%s\n", qPrintable(message.simplified()));
    if (type == QtFatalMsg) {
        std::fflush(stderr);
        _exit(1);
    }
}

// Taken once, so that the tunnels' ssh do not inherit it.
QString takeEnvironment(const char* name) {
    const char* v = std::getenv(name);
    QString value = v ? QString::fromLocal8Bit(v) : QString();
    ::unsetenv(name);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* probe = std::getenv(DisplayProbe::kVariable); probe && *probe) {
        qInstallMessageHandler(probeMessageHandler);
        QGuiApplication display(argc, argv);
        return 0;
    }
    const QString command = takeEnvironment("ZANDREL_COMMAND");
    // For scripts/wayland-shot.sh, which has no pointer to click the menu item with: Preferences
    // opens that many milliseconds after the start.
    bool openPreferences = false;
    const int preferencesAfterMs = takeEnvironment("ZANDREL_OPEN_PREFERENCES").toInt(&openPreferences);
    // A tunnel file zandrel was asked to open while no Zandrel ran.
    const QString tunnelFile = takeEnvironment("ZANDREL_OPEN_FILE");
    // Black-box tests run a fake ssh; the default program never changes otherwise.
    if (const char* ssh = std::getenv("ZANDREL_SSH_PROGRAM"); ssh && *ssh) SshCommand::setSshProgram(ssh);

    QtMessageHandler previous = qInstallMessageHandler(startupMessageHandler);
    ZandrelApplication app(argc, argv);
    qInstallMessageHandler(previous);
    if (!command.isEmpty()) AutostartEntry::setProgram(command);

    DesktopStartup startup(app);
    switch (startup.start(QDBusConnection::sessionBus())) {
        case ZandrelStartup::Result::Started:
        case ZandrelStartup::Result::StartedWithoutBus:
            break;
        case ZandrelStartup::Result::OtherInstanceShown:
            return 0;
        case ZandrelStartup::Result::Failed:
            std::fprintf(stderr, "zandrel: %s\n", qPrintable(startup.error()));
            return 1;
    }
    if (!tunnelFile.isEmpty())
        QTimer::singleShot(0, &startup.controller(),
                           [&startup, tunnelFile] { startup.controller().openTunnelFile(tunnelFile.toStdString()); });
    if (openPreferences)
        QTimer::singleShot(preferencesAfterMs, &startup.controller(), &TunnelsWindowController::openPreferences);
    // The quit steps run on aboutToQuit; nothing of the engine outlives this point.
    return app.exec();
}
