// With 1,000 tunnels: from one edit in the preferences form (the user ends a text field, or
// clicks a check box) until its save is done: every tunnel's stored form built, the store
// written atomically (fsync and rename), PreferencesChanged delivered, and the tunnels window
// reloaded. Target: median under 30 ms.
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Bundle.h"
#include "Defaults.h"
#include "DesktopStartup.h"
#include "NotificationCenter.h"
#include "PreferencesController.h"
#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

using Clock = std::chrono::steady_clock;

namespace {
constexpr int kTunnels = 1000;
constexpr int kEdits = 200;
constexpr double kTargetMs = 30.0;

Value storedTunnel(int i) {
    const std::string n = std::to_string(i);
    auto forward = [](const std::string& port, const std::string& host) {
        return Value::dictionary({{"port", port}, {"host", host}, {"hostport", port}});
    };
    return Value::dictionary({{"compression", i % 2 == 0},
                              {"connAuth", true},
                              {"autoConnect", false},
                              {"connHost", "host-" + n + ".example.org"},
                              {"connName", "Tunnel " + n},
                              {"connPort", "22"},
                              {"connRemote", false},
                              {"connUser", "user" + n},
                              {"encryption", ""},
                              {"socks4", false},
                              {"socks4p", 1080},
                              {"tunnelsLocal", Value::List{forward(std::to_string(10000 + i), "127.0.0.1"),
                                                           forward(std::to_string(20000 + i), "db.internal")}},
                              {"tunnelsRemote", Value::List{forward(std::to_string(30000 + i), "localhost")}},
                              {"v1", false}});
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
    double median, p90, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}
}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char dirTemplate[] = "/tmp/zandrel-bench-prefs-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 2;
    const std::string dir = dirTemplate;
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    const std::string path = dir + "/defaults.json";
    {
        Value::List list;
        for (int i = 0; i < kTunnels; ++i) list.push_back(storedTunnel(i));
        if (!Defaults(path).setObjectsForKeys({{"tunnels", Value(std::move(list))}, {"openPalette", true}})) return 1;
    }

    ZandrelApplication app(argc, argv, path);
    Bundle::main().setResourceDir(ZANDREL_BENCH_RESOURCES);
    DesktopStartup startup(app);
    startup.start(std::nullopt);
    TunnelsWindowController& tunnelsWindow = startup.controller();
    PreferencesController editor(app.tunnels(), app.defaults(), tunnelsWindow.window());
    QDialog* window = editor.window();
    window->show();
    if (!QTest::qWaitForWindowExposed(window)) return 2;
    auto* list = window->findChild<QTableView*>(QStringLiteral("tunnelsList"));
    auto* name = window->findChild<QLineEdit*>(QStringLiteral("name"));
    auto* compress = window->findChild<QCheckBox*>(QStringLiteral("compress"));
    list->selectRow(kTunnels / 2);
    QCoreApplication::processEvents();

    int delivered = 0;
    Clock::time_point deliveredAt;
    const auto token = NotificationCenter::defaultCenter().addObserver(PreferencesController::kPrefChanged, &editor,
                                                                       [&](const Notification&) {
                                                                           ++delivered;
                                                                           deliveredAt = Clock::now();
                                                                       });

    std::vector<double> total, toDelivered;
    for (int i = 0; i < kEdits; ++i) {
        // Apart from the edits the tunnels window redraws at most once a frame; let that pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        QCoreApplication::processEvents();
        const int before = delivered;
        const quint64 redraws = tunnelsWindow.redrawCount();
        const auto start = Clock::now();
        if (i % 2 == 0) {
            name->setText(QStringLiteral("Edited %1").arg(i));
            name->setModified(true);  // as if typed
            QTest::keyClick(name, Qt::Key_Return);
        } else {
            QTest::mouseClick(compress, Qt::LeftButton, {}, QPoint(8, compress->height() / 2));
        }
        while (tunnelsWindow.redrawCount() == redraws) QCoreApplication::processEvents(QEventLoop::AllEvents);
        const auto end = Clock::now();
        if (delivered != before + 1) {
            std::fprintf(stderr, "edit %d: %d notifications instead of one\n", i, delivered - before);
            return 2;
        }
        total.push_back(ms(end - start));
        toDelivered.push_back(ms(deliveredAt - start));
    }
    NotificationCenter::defaultCenter().removeObserver(token);

    // The store on disk is the list as edited.
    const Value stored = Defaults(path).objectForKey("tunnels");
    const bool ok = stored.list().size() == size_t(kTunnels) &&
                    stored.list()[kTunnels / 2] == app.tunnels().at(kTunnels / 2)->dictionary();
    struct stat st {};
    ::stat(path.c_str(), &st);

    const Stats t = stats(total), d = stats(toDelivered);
    std::printf("prefs save, %d tunnels (store %.0f KiB), %d edits (name field, check box alternately)\n", kTunnels,
                st.st_size / 1024.0, kEdits);
    std::printf(
        "  edit -> PreferencesChanged delivered (stored form + atomic write): median %.2f ms, p90 %.2f, max %.2f\n",
        d.median, d.p90, d.max);
    std::printf("  edit -> tunnels window reloaded:                               median %.2f ms, p90 %.2f, max %.2f\n",
                t.median, t.p90, t.max);
    std::printf("  target: median < %.0f ms: %s%s\n", kTargetMs, t.median < kTargetMs ? "met" : "MISSED",
                ok ? "" : " (stored list wrong)");
    window->close();
    std::system(("rm -rf '" + dir + "'").c_str());
    return t.median < kTargetMs && ok ? 0 : 1;
}
