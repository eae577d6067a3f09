// A tunnel whose ssh writes 100,000 lines in one burst while the window shows it (offscreen):
// how late a zero timer fires on the GUI thread during the burst, and how often the table is
// redrawn.
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "BenchKit.h"
#include "Defaults.h"
#include "DesktopStartup.h"
#include "NotificationCenter.h"
#include "TunnelsTableView.h"
#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    BenchKit::setUp();
    const std::string dir = std::getenv("XDG_CONFIG_HOME");
    constexpr int kLines = 100000;
    const std::string ssh = dir + "/burst-ssh";
    {
        // One write of all lines (a prepared file), then connected, then quiet.
        std::ofstream lines(dir + "/burst.txt");
        for (int i = 0; i < kLines; ++i) lines << "debug1: channel " << i << ": burst of diagnostics from ssh\n";
        std::ofstream out(ssh);
        out << "#!/bin/sh\ncat '" << dir << "/burst.txt' >&2\n"
            << "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600\n";
        out.close();
        chmod(ssh.c_str(), 0755);
    }
    SshCommand::setSshProgram(ssh);
    const std::string path = dir + "/zandrel/defaults.json";
    if (!Defaults(path).setObjectForKey(
            Value(
                Value::List{Value::dictionary({{"connName", "Burst"}, {"connHost", "127.0.0.1"}, {"connAuth", false}}),
                            Value::dictionary({{"connName", "Quiet"}, {"connHost", "127.0.0.1"}})}),
            "tunnels"))
        return 1;

    ZandrelApplication app(argc, argv, path);
    DesktopStartup startup(app);
    startup.start(std::nullopt);
    TunnelsWindowController& controller = startup.controller();
    std::atomic<long> notifications{0};
    NotificationCenter::defaultCenter().addObserver(Tunnel::kStatusChanged, nullptr,
                                                    [&](const Notification&) { ++notifications; });
    const TunnelPtr burst = app.tunnels().at(0);

    // Zero-timer delays, measured from arming to firing, re-armed at once.
    std::vector<double> delaysMs;
    QElapsedTimer armed;
    QTimer zero;
    zero.setSingleShot(true);
    zero.setInterval(0);
    bool measuring = false;
    QObject::connect(&zero, &QTimer::timeout, [&] {
        if (measuring) delaysMs.push_back(static_cast<double>(armed.nsecsElapsed()) / 1e6);
        armed.start();
        zero.start();
    });
    armed.start();
    zero.start();

    const quint64 redrawsBefore = controller.redrawCount();
    QElapsedTimer clock;
    clock.start();
    measuring = true;
    burst->run().start();
    while (!burst->run().isConnected() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    const double burstMs = static_cast<double>(clock.elapsed());
    // One frame more, so that the final state is drawn.
    const qint64 until = clock.elapsed() + 50;
    while (clock.elapsed() < until) QCoreApplication::processEvents(QEventLoop::AllEvents);
    measuring = false;
    const quint64 redraws = controller.redrawCount() - redrawsBefore;
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;

    const bool ok = burst->run().isConnected();
    const long burstNotifications = notifications.load();

    // Sustained: notifications without pause for a second, as from an ssh that never stops
    // talking; the redraws stay at the frame rate.
    std::vector<double> sustainedMs;
    const quint64 before = controller.redrawCount();
    std::atomic<bool> done{false};
    std::thread talker([&] {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1000) NotificationCenter::defaultCenter().post(Tunnel::kStatusChanged, burst.get());
        done = true;
    });
    QElapsedTimer sustained;
    sustained.start();
    delaysMs.swap(sustainedMs);
    measuring = true;
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents);
    measuring = false;
    talker.join();
    delaysMs.swap(sustainedMs);
    const double sustainedRate =
        static_cast<double>(controller.redrawCount() - before) / (static_cast<double>(sustained.elapsed()) / 1000.0);

    controller.applicationWillTerminate();
    std::printf("burst: %d lines, %ld notifications in %.0f ms, connected %s, %zu zero-timer samples\n", kLines,
                burstNotifications, burstMs, ok ? "yes" : "NO", delaysMs.size());
    BenchKit::report("zero-timer delay p50 during burst", BenchKit::percentile(delaysMs, 50), "ms", 50);
    BenchKit::report("zero-timer delay p99 during burst", BenchKit::percentile(delaysMs, 99), "ms", 50);
    BenchKit::report("zero-timer delay max during burst", BenchKit::percentile(delaysMs, 100), "ms", 1e9);
    BenchKit::report("redraws per second during burst", static_cast<double>(redraws) / seconds, "/s", 61);
    BenchKit::report("zero-timer delay p99, 1 s of notifications", BenchKit::percentile(sustainedMs, 99), "ms", 50);
    BenchKit::report("redraws per second, 1 s of notifications", sustainedRate, "/s", 61);
    return ok ? 0 : 1;
}
