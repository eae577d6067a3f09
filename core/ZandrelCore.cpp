#include "ZandrelCore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "AuthenticationBridge.h"
#include "HeldForwards.h"
#include "Log.h"
#include "PasswordKeyring.h"
#include "SystemEventsWatcher.h"
#include "TunnelDriver.h"
#include "TunnelStatusFeed.h"

namespace {
int g_signalWriteFd = -1;

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (g_signalWriteFd >= 0 && ::write(g_signalWriteFd, &byte, 1) < 0) {
        // The pipe is full: a quit is already on its way.
    }
    errno = saved;
}
}  // namespace

ZandrelCore::ZandrelCore(const std::string& defaultsPath, QObject* parent)
    : QObject(parent),
      m_defaults(std::make_unique<Defaults>(defaultsPath.empty() ? Defaults::standardPath() : defaultsPath)),
      m_keyring(std::make_unique<PasswordKeyring>(*m_defaults)),
      m_bridge(std::make_unique<AuthenticationBridge>(m_tunnels, *m_keyring)),
      m_statusFeed(new TunnelStatusFeed(m_tunnels, this)) {}

bool ZandrelCore::authenticate(const QString& query, const QString& fifo, pid_t caller, std::int64_t connectedByNs,
                               QString* error, const QString& hint) {
    tunnels();  // a question can only come from a started tunnel; the list is loaded by then
    return m_bridge->ask(query, fifo, caller, connectedByNs, error, AuthenticationBridge::kindOf(hint));
}

ZandrelCore::~ZandrelCore() {
    if (m_signalFds[0] >= 0) {
        for (int s : {SIGTERM, SIGINT, SIGHUP}) std::signal(s, SIG_DFL);
        g_signalWriteFd = -1;
        ::close(m_signalFds[0]);
        ::close(m_signalFds[1]);
    }
}

TunnelStore& ZandrelCore::tunnels() {
    if (!m_tunnelsLoaded) {
        m_tunnelsLoaded = true;
        m_tunnels.load(m_defaults->objectForKey("tunnels"));
        m_tunnels.startAutoConnect();
    }
    return m_tunnels;
}

TunnelPtr ZandrelCore::tunnelNamed(const QString& name) { return tunnels().named(name.toStdString()); }

// exit() rather than quit(): quit() asks the windows first, and a window may say no.
void ZandrelCore::terminate() { QCoreApplication::exit(0); }

void ZandrelCore::quitOnTerminationSignals() {
    if (m_signalFds[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_signalFds) != 0) return;
    g_signalWriteFd = m_signalFds[1];
    // The handler only writes a byte; the quit itself runs on the main thread.
    auto* notifier = new QSocketNotifier(m_signalFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (::read(m_signalFds[0], buf, sizeof buf) > 0) {
        }
        terminate();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}

void ZandrelCore::watchSystemEvents() {
    if (m_watching) return;
    m_watching = true;
    auto* watcher = new SystemEventsWatcher(QDBusConnection::systemBus(), this);
    connect(watcher, &SystemEventsWatcher::connectionsStale, this, [this](const QString& why) {
        Log::line("Reconnecting every tunnel (" + why.toStdString() + ")");
        reconnectAll();
    });
}

void ZandrelCore::reconnectAll() {
    if (!m_tunnelsLoaded) return;
    for (const TunnelPtr& t : m_tunnels.tunnels()) t->run().reconnect();
}

void ZandrelCore::stopAllTunnels() {
    const TunnelList list = m_tunnelsLoaded ? m_tunnels.tunnels() : TunnelList{};
    for (const TunnelPtr& t : list) t->run().stop(TunnelRun::StopBy::Quit);
    TunnelDriver::setShutdown(true);
    // One that was still launching when the first pass came by.
    for (const TunnelPtr& t : list) t->run().stop(TunnelRun::StopBy::Quit);
}

void ZandrelCore::waitForRuns() {
    // No ssh may be left unreaped when the process goes.
    if (!TunnelDriver::waitUntilIdle(kQuitWait))
        Log::line("Quitting while a tunnel's ssh still runs; it ends with the program.");
    HeldForwards::removeSocketFolder();
}
