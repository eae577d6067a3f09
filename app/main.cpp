// zandrel: the desktop program. --version and --help are answered before any display is
// opened; without a display the program says so and ends instead of aborting.
#include <unistd.h>

#include <QDBusConnection>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Bundle.h"
#include "DARAdivazUda.h"
#include "ROZUdivev.h"
#include "ZVersionTextField.h"
#include "ZandrelStartup.h"

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "Usage: zandrel [--help] [--version]\n"
        "Keeps a list of SSH tunnels and opens or closes each on demand.\n"
        "Starting zandrel while it runs shows the running one's tunnels window.\n\n"
        "  -h, --help     show this text and exit\n"
        "  -v, --version  show the version and exit\n\n"
        "Settings: $XDG_CONFIG_HOME/zandrel/defaults.json (default ~/.config).\n"
        "Other options are Qt's (for instance -platform, -display).\n",
        out);
}

bool hasDisplay() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    // An explicit platform (offscreen, wayland, xcb) decides for itself.
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

bool wantsPlatformArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "-display") == 0) return true;
    return false;
}

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

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        }
        if (arg == "--version" || arg == "-v") {
            std::printf("zandrel %s (build %d)\n", qPrintable(ZVersionTextField::shortVersion()),
                        ZVersionTextField::buildNumber());
            return 0;
        }
        if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "zandrel: unknown option %s\n", arg.c_str());
            printUsage(stderr);
            return 2;
        }
    }
    if (!hasDisplay() && !wantsPlatformArgument(argc, argv)) {
        std::fputs(
            "zandrel: no display: neither DISPLAY nor WAYLAND_DISPLAY is set. Zandrel is a desktop "
            "program; start it inside a graphical session.\n",
            stderr);
        return 1;
    }
    // Black-box tests run a fake ssh; the default program never changes otherwise.
    if (const char* ssh = std::getenv("ZANDREL_SSH_PROGRAM"); ssh && *ssh) ROZUdivev::setSshProgram(ssh);

    QtMessageHandler previous = qInstallMessageHandler(startupMessageHandler);
    DARAdivazUda app(argc, argv);
    qInstallMessageHandler(previous);

    ZandrelStartup startup(app);
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
    const int status = app.exec();
    // The quit steps ran on aboutToQuit; nothing of the engine outlives this point.
    return status;
}
