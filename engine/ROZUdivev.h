#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TunnelLog.h"
#include "Value.h"

class ROZUdivev;
// One port forward: "port", "host", "hostport", any of which may be missing; other keys are kept.
using ForwardEntry = std::map<std::string, std::string>;
// Forward lists are immutable once published; every change replaces the list whole.
using ForwardList = std::vector<ForwardEntry>;
using TunnelPtr = std::shared_ptr<ROZUdivev>;
using TunnelList = std::vector<TunnelPtr>;

// One configured tunnel: its settings, their stored form, the ssh command line built from them,
// and the ssh process that runs it, restarted after every exit until stopped: 1 s after a run
// that connected, doubling after each run that did not, 60 s at most.
// Made only through the static factories (the launch thread holds the tunnel it runs).
class ROZUdivev : public std::enable_shared_from_this<ROZUdivev> {
public:
    static constexpr const char* kStatusChanged = "ZDRStatusChanged";
    static constexpr const char* kDefaultName = "New Tunnel";
    static constexpr std::int64_t kDefaultKeepAlive = 15;  // seconds; ssh gives up after 3 missed
    static constexpr const char* kNoHost = "No server host set";

    // The lifecycle. Launching: a launch thread is starting ssh; Running: ssh runs; Waiting: the
    // pause before the next run. A stop request ends Launching/Running/Waiting in Idle.
    enum class Phase { Idle, Launching, Running, Waiting };

    // A new tunnel with the new-tunnel settings ("New Tunnel" when no name is given).
    static TunnelPtr create(const std::string& name = kDefaultName);
    static TunnelPtr tunnelWithName(const std::string& name) { return create(name); }
    // A tunnel from its stored form; starts it when "autoConnect" is on.
    static TunnelPtr tunnelFromDictionary(const Value& dictionary);
    // One tunnel per stored dictionary, in order; None or a non-list gives an empty list.
    static TunnelList tunnelsFromArray(const Value& array);
    // The dictionary a new tunnel is made from.
    static Value newTunnelDictionary(const std::string& name);

    ~ROZUdivev();
    ROZUdivev(const ROZUdivev&) = delete;
    ROZUdivev& operator=(const ROZUdivev&) = delete;

    // Stored form: one key per setting, unset fields left out.
    Value dictionary() const;

    // Field access by name; the names are the stored keys plus "code", "status", "shouldStop".
    // Writing an unknown key logs "key <key> undefined"; reading one gives None.
    void setValueForKey(const Value& value, const std::string& key);
    Value valueForKey(const std::string& key) const;

    // Forward lists (index within the list; callers guarantee it).
    std::shared_ptr<const ForwardList> tunnelsLocal() const;
    std::shared_ptr<const ForwardList> tunnelsRemote() const;
    void addLocalTunnel(const ForwardEntry& entry);
    void addRemoteTunnel(const ForwardEntry& entry);
    void removeLocal(int index);
    void removeRemote(int index);
    void setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key);
    void setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key);

    // Image resource name of the phase: "offState", "middleState" or "onState".
    std::string icon() const;
    // ssh's argument list (program path not included).
    std::vector<std::string> arguments() const;
    // The list as the user sees it: "ssh " + the arguments without "-v".
    static std::string displayCommand(const std::vector<std::string>& arguments);
    // Why a "jumpHosts" text is malformed ([user@]host[:port], comma-separated), or "".
    static std::string jumpHostsError(const std::string& jumpHosts);
    // A host or address as ssh's forward and -D syntax wants it: an IPv6 address in brackets.
    static std::string bracketed(const std::string& host);

    // Starts the tunnel; during the pause before a retry, retries at once; right after a stop
    // whose ssh has not ended yet, starts again as soon as it has.
    void startTunnel();
    // Ends the running ssh, or the pause before a retry; no further run follows.
    void stopTunnel();
    void toggleTunnel();
    // A fresh ssh now, with the pause reset: ends a running ssh, cuts a pause short.
    void reconnectTunnel();
    bool isRunning() const;
    // The status text: the latest one set, "Retrying in N s" while waiting, else the idle text.
    std::string status() const;
    // 0 no process (or stop requested), 1 launched or waiting to retry, 2 connected.
    int code() const { return m_code.load(); }
    Phase phase() const;
    // The user wants it up: started and not stopped (running, launching or waiting to retry).
    bool isWanted() const;
    // The reason the latest ended run failed, as ssh said it; empty once a run connects and
    // after a stop.
    std::string lastError() const;
    // How many connected runs have ended without being asked to.
    unsigned drops() const;
    // The pause before the next run while waiting (whole seconds, rounded up), else 0.
    int retrySeconds() const;
    std::string connName() const;
    // ssh's output across runs, with a line at each start and exit.
    const TunnelLog& log() const { return m_log; }
    // Whether a launch thread exists for this tunnel (running, or in its pause after an exit).
    bool hasLaunchThread() const;

    // For the password and host-key prompts, which belong to one run of ssh.
    // Stops like stopTunnel, but the reason stays as lastError() until the next start.
    void stopTunnelWithReason(const std::string& reason);
    // The process id of the ssh that runs now, or 0.
    pid_t sshPid() const;
    // A number that names the ssh run in progress (never reused, by any tunnel), or 0 when no
    // ssh runs or a stop was asked for. A change means the run a question came from is over.
    std::uint64_t runSerial() const;

    // Handles one chunk of ssh's standard error; false once reading should stop.
    bool stdErr(const char* data, size_t size);

    // Engine-wide switch thrown at quit: no launch thread starts an ssh after it.
    static void setShutdown(bool on);
    static bool isShutdown();
    // Waits until no launch thread is left, at most the given time; true when none is.
    [[nodiscard]] static bool waitForLaunchThreads(std::chrono::milliseconds timeout);
    // The program run for tunnels without SOCKS4 (tests swap it; the default is /usr/bin/ssh).
    static void setSshProgram(const std::string& path);
    static std::string sshProgram();
    static constexpr std::chrono::milliseconds kRestartDelay{1000};
    static constexpr std::chrono::milliseconds kMaxRestartDelay{60000};
    // Shorter pauses for tests of the retry policy (scale 1 = the real one).
    static void setRestartDelayScale(double scale);

private:
    struct Field;
    static const std::vector<Field>& fields();

    ROZUdivev() = default;
    void postStatusChanged();
    void launchTunnel();
    void spawnLaunchThread();
    // One run: builds the command, launches ssh, waits for its exit. False when nothing could
    // be launched (the tunnel is then idle with the reason set).
    bool runOnce();
    // After a run: Waiting until the pause is over (true: run again) or Idle (false).
    bool waitForRetry();
    void enterIdleLocked(std::string reason);
    void updateCodeLocked();
    std::vector<std::string> launchEnvironment() const;
    void setStatus(std::optional<std::string> s);
    void connectedLineSeen(bool interactive, bool forwardsConfirmed);
    void editList(bool local, const std::function<bool(ForwardList&)>& edit);
    static std::shared_ptr<const ForwardList> listFromValue(const Value& v, const std::string& key);
    static Value listToValue(const std::shared_ptr<const ForwardList>& list);

    // Settings, status, lastError, task and the lifecycle; every transition happens under it.
    mutable std::mutex m_mutex;
    std::atomic<int> m_code{0};
    std::shared_ptr<const ForwardList> m_tunnelsLocal;
    std::shared_ptr<const ForwardList> m_tunnelsRemote;
    std::shared_ptr<ChildProcess> m_task;
    bool m_connAuth = false;
    bool m_autoConnect = false;
    std::optional<std::string> m_connName;
    std::optional<std::string> m_status;
    std::optional<std::string> m_connPort;
    bool m_connRemote = false;
    bool m_compression = false;
    bool m_v1 = false;
    std::optional<std::string> m_encryption;
    bool m_socks4 = false;
    std::optional<std::int64_t> m_socks4p;
    std::optional<std::string> m_connUser;
    std::optional<std::string> m_connHost;
    std::optional<std::int64_t> m_keepAlive;
    std::optional<std::string> m_identityFile;
    std::optional<std::string> m_jumpHosts;
    std::optional<std::vector<std::string>> m_sshOptions;
    std::optional<std::string> m_socks4b;
    std::string m_lastError;
    std::string m_stopReason;  // shown after a stop that said why
    std::uint64_t m_runSerial = 0;

    Phase m_phase = Phase::Idle;
    bool m_stopRequested = false;
    bool m_relaunchNow = false;  // the next run follows without a pause
    bool m_connected = false;    // the current run is up
    unsigned m_drops = 0;
    std::chrono::milliseconds m_backoff = kRestartDelay;
    std::chrono::steady_clock::time_point m_retryAt;
    std::condition_variable m_wake;
    TunnelLog m_log;

    // Launch-thread-only state of the current run.
    std::string m_partialLine;
    std::string m_runError;
    bool m_runErrorFinal = false;  // a forward failure: later lines do not replace the reason
    bool m_interactive = false;
    bool m_awaitingForwardReplies = false;
    int m_jumpSessions = 0;
};
