#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "HeldForwards.h"
#include "RetryPolicy.h"
#include "RunFailure.h"
#include "SocketTraffic.h"
#include "SshCommand.h"
#include "TargetRefusals.h"
#include "TunnelLog.h"
#include "TunnelReport.h"
#include "TunnelSettings.h"
#include "TunnelStateMachine.h"

class Tunnel;

// The running side of one tunnel: its state, the retry pause, the ssh process and what ssh's
// output says. Requests (start, stop, reconnect) come from any thread and take effect at once;
// ssh itself is started, watched and reaped by the engine's one loop (TunnelDriver).
class TunnelRun {
public:
    static constexpr const char* kStatusChanged = "TunnelStatusChanged";

    // The run of that tunnel, which owns it.
    explicit TunnelRun(Tunnel& tunnel);
    ~TunnelRun();
    TunnelRun(const TunnelRun&) = delete;
    TunnelRun& operator=(const TunnelRun&) = delete;

    // Starts the tunnel; during the pause before a retry, retries at once; right after a stop
    // whose ssh has not ended yet, starts again as soon as it has.
    void start();
    // Who asked for a stop, as the journal tells it.
    enum class StopBy { User, DBus, Quit };
    // Ends the running ssh, or the pause before a retry; no further run follows.
    void stop(StopBy by = StopBy::User) { stopWithReason({}, by); }
    // Stops like stop, but the reason stays as lastError() until the next start.
    void stopWithReason(const std::string& reason, StopBy by = StopBy::User);
    void toggle();
    // A fresh ssh now, with the pause reset: ends a running ssh, cuts a pause short.
    void reconnect();

    TunnelState state() const;
    int code() const { return TunnelStateMachine::code(state()); }
    bool isWanted() const { return TunnelStateMachine::isWanted(state()); }
    bool isConnected() const { return state() == TunnelState::Connected; }
    // Connected, or ready: its ports held, ssh starts when they are used.
    bool isUp() const { return code() >= 2; }
    // Anything under way: an ssh, a launch or a retry pause.
    bool isActive() const { return state() != TunnelState::Idle; }
    bool isRunning() const;
    // Image resource name of the state: "offState", "middleState" or "onState".
    std::string icon() const;
    static std::string iconForCode(int code);
    // The status text: the latest one set, "Retrying in N s" while waiting, else the idle text.
    std::string status() const;
    void setStatus(std::optional<std::string> status);
    // The reason the latest ended run failed, as ssh said it; empty once a run connects and
    // after a stop.
    std::string lastError() const;
    // How many connected runs have ended without being asked to.
    unsigned drops() const;
    // Stopped by a failure that no retry can heal (lastError() says which and what to do),
    // until the next start.
    bool failedForGood() const;
    // Logins the server may refuse in kRefusalWindow before the tunnel stops trying.
    static constexpr int kMaxRefusals = 3;
    static constexpr std::chrono::minutes kRefusalWindow{10};
    // The pause before the next run while waiting (whole seconds, rounded up), else 0.
    int retrySeconds() const;
    // The process id of the ssh that runs now, or 0.
    pid_t sshPid() const;
    // A number that names the ssh run in progress (never reused, by any tunnel), or 0 when no
    // ssh runs or a stop was asked for. A change means the run a question came from is over.
    std::uint64_t runSerial() const;
    // The settings the running ssh was started with; none while no ssh runs.
    std::optional<TunnelSettings> runningSettings() const;
    // The local and SOCKS forwards the running ssh reported setting up beyond the tunnel's own:
    // those the user's ~/.ssh/config adds for the host (as SshOutputParser::localForward gives them).
    ForwardList configForwards() const;
    // ssh's output across runs, with a line at each start and exit.
    const TunnelLog& log() const { return m_log; }
    // The state as scripts see it: "idle", "connecting", "connected", "retrying", "stopping",
    // "stopped" (idle with a reason that needs the user) or "ready" (its ports held, no ssh).
    std::string stateWord() const;
    // State, command, traffic (counted afresh), warnings and the last minutes' samples.
    TunnelReport report() const;
    // Adds an event to the tunnel's journal (e.g. a host key the user accepted).
    void recordEvent(const std::string& text);
    // How often a connected run's traffic is counted, and how many counts are kept.
    static constexpr std::chrono::seconds kSampleInterval{2};
    static constexpr size_t kSamples = 150;

    // Handles one chunk of ssh's standard error; false once reading should stop.
    bool stdErr(const char* data, size_t size);

    // Called on the engine's loop only. launchNow: true when it started an ssh.
    bool launchNow(std::uint64_t launchToken);
    void retryDue(std::uint64_t retryToken);
    void settingsCheckDue(std::uint64_t checkToken);
    void endCheckDue(std::uint64_t runSerial);
    void sampleDue(std::uint64_t sampleToken);
    // How long an ssh told to end may take before it is killed.
    static constexpr std::chrono::milliseconds kEndGrace{3000};

    // A setting changed. A running ssh whose command it changes is replaced by one with the new
    // settings once the edit has rested for kSettleTime (a spin box stepped from 15 to 30 costs
    // one login, not fifteen); a change that does not reach ssh (the name, auto-connect) leaves it.
    void settingsChanged();
    static constexpr std::chrono::milliseconds kSettleTime{1000};
    // While connections wait for ssh, the next try comes within this, whatever the pause.
    static constexpr std::chrono::seconds kWaitingRetry{5};
    // The length of the idle time's minute (tests shorten it).
    static void setIdleMinute(std::chrono::milliseconds minute);
    void exited(int waitStatus);
    void shutdown() { handle(TunnelEvent::Shutdown); }

private:
    // The transition for the event, and its actions performed; with reason for a stop or a
    // failed launch.
    void handle(TunnelEvent event, const std::string& reason = {});
    unsigned applyLocked(TunnelEvent event, const std::string& reason, std::shared_ptr<ChildProcess>* toTerminate);
    std::shared_ptr<TunnelRun> self() const;
    void post() const;
    // The reason when the run that ended cannot be healed by another, else "".
    std::string reasonForGoodLocked();
    void connectedLineSeen(bool interactive, bool forwardsConfirmed);
    void setRunStatus(const std::string& status);
    // A forward ssh set up: kept when the running settings do not hold it.
    void forwardReported(const ForwardEntry& reported);
    void endRun();
    // One whole line of ssh's output; true when it is one of a forwarded connection's.
    bool wholeLine(const std::string& whole, bool* changed);
    // The events of the transitions applied since the last flush go to the journal; called
    // without the lock held (a connection's addresses need the tunnel's settings).
    void flushJournal();
    void noteTransitionLocked(TunnelState from, TunnelEvent event, const std::string& reason);
    // Forwards listening beyond loopback, remote forwards asking for more than the server's.
    std::vector<std::string> exposureOf(pid_t ssh) const;

    // Held ports, on the loop: taking them, giving them up, whether they are used.
    void armDue(std::uint64_t holdToken);
    // The ports to hold for these settings and where ssh's ends listen.
    std::vector<HeldForward> heldForwardsFor(const TunnelSettings& settings, HeldEndpoints* endpoints) const;
    // Holds the settings' ports: "" or why not; the endpoints are kept for ssh's command.
    std::string holdLocked(const TunnelSettings& settings);
    void releaseLocked();
    void demandArrived();
    void useChanged();
    void scheduleIdleCheckLocked();
    void idleDue(std::uint64_t idleToken);
    SshCommand commandFor(const TunnelSettings& settings) const;
    // The run's own ssh socket files go once no ssh uses them.
    void removeSocketFiles(const std::vector<std::string>& paths) const;
    // A remote forward's connection opened or closed (ssh's channel lines).
    void remoteChannelLine(const std::string& line);

    Tunnel& m_tunnel;
    mutable std::mutex m_mutex;
    TunnelState m_state = TunnelState::Idle;
    RetryPolicy m_retry;
    std::chrono::steady_clock::time_point m_retryAt;
    std::uint64_t m_token = 0;  // names the pending launch or retry; a stale one finds it changed
    std::shared_ptr<ChildProcess> m_task;
    std::vector<std::string> m_runningCommand;    // what the running ssh was started with, environment too
    std::vector<std::string> m_runningArguments;  // its program and arguments
    std::optional<TunnelSettings> m_runningSettings;
    ForwardList m_configForwards;
    std::uint64_t m_checkToken = 0;
    std::uint64_t m_runSerial = 0;
    std::optional<std::string> m_status;
    std::string m_lastError;
    std::string m_stopReason;  // shown after a stop that said why
    unsigned m_drops = 0;
    bool m_failedForGood = false;
    std::deque<std::chrono::steady_clock::time_point> m_refusals;  // of logins, within the window
    TunnelLog m_log;
    StopBy m_stopBy = StopBy::User;
    std::vector<std::string> m_journalDue;  // kConnectedEvent stands for "Connected: ADDRESSES"
    std::int64_t m_connectedSinceMs = 0;
    std::deque<std::int64_t> m_dropTimes;  // of the last day, ms since the epoch
    std::uint64_t m_sampleToken = 0;
    std::optional<std::pair<std::string, int>> m_serverAddress;  // as ssh connects to it
    std::optional<SocketTraffic::Connection> m_connection;
    std::deque<TrafficSample> m_samples;
    std::vector<std::string> m_exposure;
    TargetRefusals m_targets;

    // Held ports (a tunnel that starts when first used).
    std::shared_ptr<HeldForwards> m_held;
    std::optional<HeldEndpoints> m_endpoints;  // while held
    std::vector<HeldForward> m_heldSpec;       // as held
    std::vector<std::string> m_runPaths;       // the socket paths the running ssh listens on
    std::uint64_t m_holdToken = 0;
    std::uint64_t m_idleToken = 0;
    std::uint64_t m_heldId;          // names this tunnel's socket files
    std::set<int> m_remoteChannels;  // open connections through remote forwards
    std::chrono::steady_clock::time_point m_lastUse;

    // What the output of the current run said so far (the loop's, and tests feeding output).
    std::string m_partialLine;
    std::string m_runError;
    RunFailure m_failure;
    bool m_runErrorFinal = false;  // a forward failure: later lines do not replace the reason
    bool m_interactive = false;
    bool m_awaitingForwardReplies = false;
    int m_jumpSessions = 0;
};
