#pragma once

#include <sys/types.h>

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <string>

#include "Defaults.h"
#include "TunnelStore.h"

class AuthenticationBridge;
class PasswordKeyring;
class TunnelStatusFeed;

// What Zandrel is without a display: the preferences store, the one tunnel list of the run, its
// status changes, the keyring and the question bridge, the termination signals and the engine's
// part of quitting. The desktop program's application object holds one (and gives the bridge its
// prompt windows); the headless mode runs it alone under a QCoreApplication.
class ZandrelCore : public QObject {
    Q_OBJECT
public:
    // How long quitting waits for every ssh to end.
    static constexpr std::chrono::milliseconds kQuitWait{3000};

    // defaultsPath: the preferences file; empty means the user's standard one.
    explicit ZandrelCore(const std::string& defaultsPath = {}, QObject* parent = nullptr);
    ~ZandrelCore() override;

    Defaults& defaults() { return *m_defaults; }
    // The tunnel list, loaded from the stored "tunnels" at the first call, which then starts the
    // auto-connect tunnels; the same store ever after.
    TunnelStore& tunnels();
    bool tunnelsLoaded() const { return m_tunnelsLoaded; }
    // The first tunnel of that name, or null.
    TunnelPtr tunnelNamed(const QString& name);

    // The tunnels' status changes, on the main thread.
    TunnelStatusFeed& statusFeed() { return *m_statusFeed; }

    PasswordKeyring& keyring() { return *m_keyring; }
    AuthenticationBridge& authenticationBridge() { return *m_bridge; }
    // The askpass script's question, asked by the process `caller`: answered from the keyring or
    // in a window; false with *error set when the caller may not ask.
    // hint: ssh's SSH_ASKPASS_PROMPT ("" for a question).
    bool authenticate(const QString& query, const QString& fifo, pid_t caller, std::int64_t connectedByNs,
                      QString* error, const QString& hint = {});

    // Quits the event loop at once; nothing can refuse it. The quit steps run on aboutToQuit.
    static void terminate();
    // SIGTERM, SIGINT and SIGHUP (logout, Ctrl-C, a service manager) quit as the menu does,
    // so that the quit steps still run.
    void quitOnTerminationSignals();

    // Every running or waiting tunnel starts a fresh ssh now.
    void reconnectAll();
    // From now on, the network coming back and a resume reconnect all (the connections of
    // before are very likely dead, and ssh would take up to a minute to notice). Once.
    void watchSystemEvents();
    // Stops every tunnel in list order and lets the engine start no other ssh.
    void stopAllTunnels();
    // Waits until every ssh has ended; logs when one outlives the wait.
    void waitForRuns();

private:
    std::unique_ptr<Defaults> m_defaults;
    TunnelStore m_tunnels;
    bool m_tunnelsLoaded = false;
    std::unique_ptr<PasswordKeyring> m_keyring;
    std::unique_ptr<AuthenticationBridge> m_bridge;
    TunnelStatusFeed* m_statusFeed;
    bool m_watching = false;
    int m_signalFds[2] = {-1, -1};
};
