// From the application object's construction to the tunnels window shown and painted, with
// 1,000 stored tunnels (offscreen). The first run pays for loading Qt's plugins and fonts.
#include <QEvent>
#include <QMainWindow>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "BenchKit.h"
#include "Defaults.h"
#include "DesktopStartup.h"
#include "TunnelsTableView.h"
#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

namespace {

struct FirstPaint : QObject {
    bool painted = false;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) painted = true;
        return false;
    }
};

double oneStart(int& argc, char** argv, const std::string& path) {
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    ZandrelApplication app(argc, argv, path);
    DesktopStartup startup(app);
    TunnelsWindowController& controller = startup.controller();
    FirstPaint probe;
    controller.tunnelsTable()->viewport()->installEventFilter(&probe);
    startup.start(std::nullopt);
    while (!probe.painted) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    if (controller.numberOfTunnels() != 1000 || !controller.window()->isVisible()) {
        std::fprintf(stderr, "start-up: %d tunnels, window %s\n", controller.numberOfTunnels(),
                     controller.window()->isVisible() ? "shown" : "hidden");
        std::exit(1);
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    BenchKit::setUp();
    const std::string path = std::string(std::getenv("XDG_CONFIG_HOME")) + "/zandrel/defaults.json";
    {
        Value::List tunnels;
        for (int i = 0; i < 1000; ++i) {
            const std::string n = std::to_string(i);
            tunnels.push_back(Value::dictionary(
                {{"connName", "Tunnel " + n},
                 {"connHost", "host" + n + ".example"},
                 {"connUser", "user"},
                 {"connPort", "22"},
                 {"connAuth", true},
                 {"autoConnect", false},
                 {"compression", i % 2 == 0},
                 {"tunnelsLocal",
                  Value::List{Value::dictionary(
                      {{"port", std::to_string(10000 + i)}, {"host", "127.0.0.1"}, {"hostport", "80"}})}}}));
        }
        Defaults defaults(path);
        if (!defaults.setObjectForKey(Value(std::move(tunnels)), "tunnels")) return 1;
    }
    std::vector<double> warm;
    const double cold = oneStart(argc, argv, path);
    for (int i = 0; i < 10; ++i) warm.push_back(oneStart(argc, argv, path));
    std::printf("start-up with 1000 stored tunnels to the window painted (offscreen)\n");
    BenchKit::report("start-up first run", cold, "ms", 500);
    BenchKit::report("start-up median of 10 more", BenchKit::percentile(warm, 50), "ms", 500);
    BenchKit::report("start-up max of 10 more", BenchKit::percentile(warm, 100), "ms", 500);
    return 0;
}
