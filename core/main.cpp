// zandrel: the one command. It answers --version and --help, is the command-line client of a
// running instance and, with --headless, the service with no display at all; none of that maps
// a widget or display library. Given a display it hands the process over to its desktop part
// (zandrel-desktop, same process id and arguments), which alone links the widgets. A display
// that cannot be opened (none set, no platform plugin for it, nobody answering) leaves it headless.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bundle.h"
#include "DisplayProbe.h"
#include "Log.h"
#include "Tunnel.h"
#include "ZandrelCommandLine.h"
#include "ZandrelCore.h"
#include "ZandrelStartup.h"
#include "ZandrelVersion.h"

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "Usage: zandrel [--headless | --list | --start NAME | --stop NAME | --reconnect-all |\n"
        "                --show | --quit | --add NAME ... | --remove NAME | --import [HOST...] |\n"
        "                --events NAME | --status NAME | --export [NAME|@GROUP...] |\n"
        "                --import-file FILE [--replace] | --open-file FILE | --help | --version]\n"
        "Keeps a list of SSH tunnels and opens or closes each on demand.\n"
        "Starting zandrel while it runs shows the running one's tunnels window.\n\n"
        "  --headless       run the tunnels and the D-Bus service without a display, window or\n"
        "                   tray (for servers and systemd --user); SIGTERM quits\n\n"
        "Commands to the Zandrel running in this session (no display needed):\n"
        "  --list           one line per tunnel: name, state, local addresses, reason,\n"
        "                   group (tab-separated)\n"
        "  --start NAME     start the tunnel named NAME; --start @GROUP starts every tunnel\n"
        "                   of the group GROUP\n"
        "  --stop NAME      stop it (--stop @GROUP: the group's)\n"
        "  --reconnect-all  every running or retrying tunnel starts a fresh ssh now\n"
        "  --show           show the tunnels window\n"
        "  --quit           stop every tunnel and quit\n"
        "  --add NAME [USER@]HOST[:PORT] [-L [BIND:]PORT:HOST:HOSTPORT]...\n"
        "        [-R [BIND:]PORT:HOST:HOSTPORT]... [-D [BIND:]PORT] [-J JUMP] [-i IDENTITY]\n"
        "        [-o OPTION=VALUE]... [--group GROUP] [--auto] [--on-demand]\n"
        "                   add a tunnel, as ssh writes these (an IPv6 address in brackets:\n"
        "                   root@[::1]:2222, -L 8080:[::1]:80); --auto starts it with Zandrel;\n"
        "                   --on-demand: Zandrel holds its ports and ssh starts when they are used\n"
        "  --remove NAME    stop the tunnel and delete it\n"
        "  --import [HOST...]\n"
        "                   a tunnel for each Host of ~/.ssh/config given (all, without HOST)\n"
        "                   that no tunnel uses; prints the tunnels made, and each host ssh\n"
        "                   refused with ssh's words\n"
        "  --export [NAME|@GROUP]...\n"
        "                   write a tunnel file of those tunnels (all, without NAME) to standard\n"
        "                   output; it holds no password\n"
        "  --import-file FILE [--replace]\n"
        "                   merge a tunnel file: new names are added, the same settings skipped;\n"
        "                   a tunnel of yours with other settings is kept, or with --replace\n"
        "                   replaced; prints what was done per tunnel\n"
        "  --open-file FILE show the tunnels window's import of FILE\n"
        "  --events NAME    what happened to the tunnel, one event per line: local time, a tab,\n"
        "                   the event (kept across restarts, at least the last 500)\n"
        "  --status NAME    the tunnel now, as \"key: value\" lines: state, status, reason,\n"
        "                   command, addresses, bytesSent, bytesReceived, sendRate,\n"
        "                   receiveRate, connectedSince, dropsToday, warnings, and a \"forward:\"\n"
        "                   line per port Zandrel holds (bytes each way, connections open, in\n"
        "                   total, refused by the target)\n"
        "They exit with 0 on success and 1 with one line saying why (no Zandrel runs, NAME is\n"
        "unknown, a value is refused).\n\n"
        "  -h, --help       show this text and exit\n"
        "  -v, --version    show the version and exit\n\n"
        "Settings: $XDG_CONFIG_HOME/zandrel/defaults.json (default ~/.config); journals:\n"
        "$XDG_STATE_HOME/zandrel/journal (default ~/.local/state).\n"
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

// Beside this program in a build tree, else in the installed libexec folder.
std::string desktopProgram(const std::string& dir) {
    for (const std::string& candidate :
         {dir + "/" ZANDREL_DESKTOP_NAME, dir + "/" ZANDREL_DESKTOP_FROM_BINDIR "/" ZANDREL_DESKTOP_NAME})
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    return dir + "/" ZANDREL_DESKTOP_FROM_BINDIR "/" ZANDREL_DESKTOP_NAME;
}

// Replaces this process by the desktop part; returns only on failure.
int runDesktop(const std::string& self, const std::string& program, char** argv) {
    // What "Start at login" writes: this command, not its desktop part.
    ::setenv("ZANDREL_COMMAND", self.c_str(), 1);
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "zandrel: cannot start the desktop part %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}

// The headless mode: the same start-up wiring without widgets. noDisplay: why a start meant for
// the desktop is headless instead.
int runHeadless(int argc, char** argv, const std::string& noDisplay = {}) {
    // A tunnel file to open needs a window; its tunnels' ssh must not inherit the request.
    if (const char* file = std::getenv("ZANDREL_OPEN_FILE")) {
        Log::line(std::string("No window to import ") + file + " in; run zandrel --import-file on it.");
        ::unsetenv("ZANDREL_OPEN_FILE");
    }
    if (!noDisplay.empty())
        Log::line("No display could be opened (" + noDisplay +
                  "); the tunnels run without a window or tray, as with --headless.");
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("zandrel"));
    ZandrelCore core;
    ZandrelStartup startup(core);
    if (startup.start(QDBusConnection::sessionBus()) == ZandrelStartup::Result::Failed) {
        std::fprintf(stderr, "zandrel: %s\n", qPrintable(startup.error()));
        return 1;
    }
    return app.exec();
}

// A command's output is its own lines: Qt's notes about its D-Bus internals (one comes from the
// bus thread at exit, at random) are nothing a user of the command can act on.
void keepQtNotesOff(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "zandrel: %s\n", qPrintable(message));
}

// kStartWithFile: a tunnel file to open, and no Zandrel runs to open it.
constexpr int kStartWithFile = -1;

int runCommand(int argc, char** argv, ZandrelCommandLine::Command command, const QStringList& words) {
    qInstallMessageHandler(keepQtNotesOff);
    QCoreApplication app(argc, argv);
    if (command == ZandrelCommandLine::Command::OpenFile &&
        !ZandrelCommandLine::isRunning(QDBusConnection::sessionBus()))
        return kStartWithFile;
    return ZandrelCommandLine::run(command, words, QDBusConnection::sessionBus(), stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    ZandrelCommandLine::Command command = ZandrelCommandLine::Command::None;
    QStringList words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        }
        if (arg == "--version" || arg == "-v") {
            std::printf("zandrel %s (build %d)\n", qPrintable(ZandrelVersion::shortVersion()),
                        ZandrelVersion::buildNumber());
            return 0;
        }
        if (arg == "--headless") {
            headless = true;
            continue;
        }
        if (const auto c = ZandrelCommandLine::commandFor(QString::fromStdString(arg));
            c != ZandrelCommandLine::Command::None) {
            if (command != ZandrelCommandLine::Command::None) {
                std::fputs("zandrel: give one command at a time\n", stderr);
                return 2;
            }
            command = c;
            if (ZandrelCommandLine::takesName(c)) {
                if (i + 1 >= argc || !*argv[i + 1]) {
                    std::fprintf(stderr, "zandrel: %s needs a tunnel name\n", arg.c_str());
                    return 2;
                }
                words << QString::fromLocal8Bit(argv[++i]);
            }
            if (ZandrelCommandLine::takesRest(c)) {
                while (++i < argc) words << QString::fromLocal8Bit(argv[i]);
                break;
            }
            continue;
        }
        // A file manager opening a tunnel file ("zandrel FILE"); "-platform xcb" gives Qt a word too.
        if (!arg.empty() && arg[0] != '-' && command == ZandrelCommandLine::Command::None &&
            (i == 1 || argv[i - 1][0] != '-' || std::strncmp(argv[i - 1], "--", 2) == 0)) {
            command = ZandrelCommandLine::Command::OpenFile;
            words << QString::fromLocal8Bit(argv[i]);
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "zandrel: unknown option %s\n", arg.c_str());
            printUsage(stderr);
            return 2;
        }
    }
    if (command != ZandrelCommandLine::Command::None) {
        if (headless) {
            std::fputs("zandrel: --headless starts Zandrel; it does not go with a command\n", stderr);
            return 2;
        }
        const int result = runCommand(argc, argv, command, words);
        if (result != kStartWithFile) return result;
        // The desktop part opens the import once its window is up.
        ::setenv("ZANDREL_OPEN_FILE", qPrintable(QFileInfo(words.value(0)).absoluteFilePath()), 1);
    }
    // Black-box tests run a fake ssh; the default program never changes otherwise.
    if (const char* ssh = std::getenv("ZANDREL_SSH_PROGRAM"); ssh && *ssh) SshCommand::setSshProgram(ssh);
    if (headless) return runHeadless(argc, argv);
    if (!hasDisplay() && !wantsPlatformArgument(argc, argv))
        return runHeadless(argc, argv, "neither DISPLAY nor WAYLAND_DISPLAY is set");

    std::string self = Bundle::executablePath();
    if (self.empty()) self = "./zandrel";
    const std::string program = desktopProgram(self.substr(0, self.rfind('/')));
    const DisplayProbe::Result probe = DisplayProbe::run(program, std::vector<std::string>(argv + 1, argv + argc));
    if (!probe.opened) return runHeadless(argc, argv, probe.reason);
    return runDesktop(self, program, argv);
}
