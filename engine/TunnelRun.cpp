#include "TunnelRun.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>

#include "Bundle.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "PortOwner.h"
#include "SshCommand.h"
#include "SshOutputParser.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "UiText.h"

using Machine = TunnelStateMachine;

namespace {
std::atomic<std::uint64_t> g_runSerials{0};
std::atomic<std::uint64_t> g_heldIds{0};
std::atomic<std::int64_t> g_idleMinuteMs{60 * 1000};

bool holdsPorts(TunnelState s) {
    return s != TunnelState::Idle && s != TunnelState::Stopping && s != TunnelState::Arming;
}

// Stands in the journal's queue for "Connected: ADDRESSES", which are read once unlocked.
constexpr const char* kConnectedEvent = "\x01connected";

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

bool isLoopbackName(std::string bind) {
    if (bind.starts_with('[') && bind.ends_with(']')) bind = bind.substr(1, bind.size() - 2);
    return bind.empty() || bind == "localhost" || bind == "::1" || bind.starts_with("127.");
}

std::string text(const char* key) { return Bundle::main().localizedString(key); }

// What of a command reaches ssh: its program, arguments and environment but the tunnel's name.
std::vector<std::string> commandOf(const SshCommand& command) {
    std::vector<std::string> all{command.program()};
    const auto args = command.arguments();
    all.insert(all.end(), args.begin(), args.end());
    for (std::string& e : command.environment())
        if (!e.starts_with("TUNNEL_NAME=")) all.push_back(std::move(e));
    return all;
}
}  // namespace

TunnelRun::TunnelRun(Tunnel& tunnel) : m_tunnel(tunnel), m_heldId(++g_heldIds) {
    // Posted: the held ports call from within the run's own calls to them.
    m_held = std::make_shared<HeldForwards>(HeldForwards::Callbacks{
        [this] { TunnelDriver::instance().post([run = self()] { run->demandArrived(); }); },
        [this](bool) { TunnelDriver::instance().post([run = self()] { run->useChanged(); }); }});
}

void TunnelRun::setIdleMinute(std::chrono::milliseconds minute) { g_idleMinuteMs = minute.count(); }

TunnelRun::~TunnelRun() {
    // A safeguard: the loop holds the tunnel until it has reaped its ssh.
    if (m_task) m_task->terminate();
}

std::shared_ptr<TunnelRun> TunnelRun::self() const {
    // Shares the tunnel's ownership: the loop keeps the whole tunnel while it works for this run.
    return std::shared_ptr<TunnelRun>(m_tunnel.shared_from_this(), const_cast<TunnelRun*>(this));
}

void TunnelRun::post() const { NotificationCenter::defaultCenter().post(kStatusChanged, &m_tunnel); }

void TunnelRun::handle(TunnelEvent event, const std::string& reason) {
    std::shared_ptr<ChildProcess> toTerminate;
    unsigned actions;
    {
        std::lock_guard lock(m_mutex);
        actions = applyLocked(event, reason, &toTerminate);
    }
    flushJournal();
    // Announced before ssh is told to end, so that a stop's notice comes before the exit's.
    if (actions & Machine::Post) post();
    if (toTerminate) toTerminate->terminate();
}

unsigned TunnelRun::applyLocked(TunnelEvent event, const std::string& reason,
                                std::shared_ptr<ChildProcess>* toTerminate) {
    const TunnelState from = m_state;
    const auto t = Machine::next(from, event);
    const unsigned a = t.actions;
    m_state = t.next;
    TunnelDriver& driver = TunnelDriver::instance();
    if (a & Machine::ClearReason) {
        m_stopReason.clear();
        m_lastError.clear();
        m_failedForGood = false;
    }
    if (a & Machine::ResetRetry) m_retry.reset();
    if (a & Machine::CountDrop) {
        ++m_drops;
        m_dropTimes.push_back(nowMs());
        while (m_dropTimes.front() < m_dropTimes.back() - 24 * 3600 * 1000) m_dropTimes.pop_front();
    }
    if (a & Machine::CancelRetry) {
        ++m_token;
        driver.cancelRetry(this);
    }
    if (a & Machine::ScheduleRetry) {
        auto delay = RetryPolicy::scaled(m_retry.nextDelay());
        if (m_held->waiting() > 0) delay = std::min<std::chrono::milliseconds>(delay, kWaitingRetry);
        m_retryAt = std::chrono::steady_clock::now() + delay;
        driver.scheduleRetry(self(), m_retryAt, ++m_token);
    }
    if (a & Machine::Launch) driver.launch(self(), ++m_token, m_tunnel.command().serverKey());
    if (a & Machine::Hold) driver.post([run = self(), token = ++m_holdToken] { run->armDue(token); });
    // Stopped while its launch waits for the server.
    if (from == TunnelState::Launching && m_state == TunnelState::Idle) driver.cancelLaunch(this);
    if ((a & Machine::Terminate) && m_task) {
        if (toTerminate) *toTerminate = m_task;
        driver.scheduleEndCheck(self(), std::chrono::steady_clock::now() + kEndGrace, m_runSerial);
    }

    // What each state shows.
    if (event == TunnelEvent::Exited || event == TunnelEvent::ExitedForGood) {
        m_task.reset();
        m_runningSettings.reset();
        m_configForwards.clear();
    }
    if (from == m_state) return a;
    // Stop releases the held ports and closes what they carry; so does a failure that no retry heals.
    if (!holdsPorts(m_state) && m_endpoints) releaseLocked();
    if (from == TunnelState::Connected && m_endpoints) driver.post([held = m_held] { held->setUpstreamReady(false); });
    if (from == TunnelState::Connected) {
        m_connectedSinceMs = 0;
        ++m_sampleToken;
        m_connection.reset();
        m_exposure.clear();
        m_targets.clear();
    }
    switch (m_state) {
        case TunnelState::Idle:
            m_status.reset();
            // A plain stop leaves nothing to explain; a run that could not start, or that no retry can
            // heal, says why.
            m_failedForGood = event == TunnelEvent::ExitedForGood && from != TunnelState::Stopping;
            m_lastError = event == TunnelEvent::LaunchFailed || m_failedForGood ? reason : m_stopReason;
            break;
        case TunnelState::Stopping:
            m_status.reset();
            m_stopReason = reason;
            m_lastError = reason;
            break;
        case TunnelState::Launching:
        case TunnelState::Relaunching:
            m_status = text("S_CONNECTING");
            break;
        case TunnelState::Connected:
            m_status = text("S_CONNECTED");
            m_lastError.clear();
            m_runError.clear();
            m_refusals.clear();
            m_connectedSinceMs = nowMs();
            m_samples.clear();
            driver.scheduleSample(self(), std::chrono::steady_clock::now(), ++m_sampleToken);
            if (m_endpoints) {
                driver.post([held = m_held] { held->setUpstreamReady(true); });
                m_lastUse = std::chrono::steady_clock::now();
                scheduleIdleCheckLocked();
            }
            break;
        case TunnelState::Ready:
        case TunnelState::Resting:
            m_status = UI_TEXT("Ready: starts when used");
            if (m_state == TunnelState::Ready) m_lastError.clear();
            break;
        case TunnelState::Arming:
            break;
        case TunnelState::RetryWaiting:
            m_status.reset();
            m_lastError = m_runError;
            break;
        case TunnelState::Connecting:
            break;
    }
    if (m_state == TunnelState::Idle && event == TunnelEvent::Stop) {
        m_stopReason = reason;
        m_lastError = reason;
    }
    noteTransitionLocked(from, event, reason);
    return a;
}

void TunnelRun::noteTransitionLocked(TunnelState from, TunnelEvent event, const std::string& reason) {
    auto note = [this](std::string text) { m_journalDue.push_back(std::move(text)); };
    switch (m_state) {
        case TunnelState::Connected:
            note(kConnectedEvent);
            break;
        case TunnelState::RetryWaiting: {
            const std::string why = m_lastError.empty() ? UI_TEXT("ssh ended") : m_lastError;
            note(UiText::format(from == TunnelState::Connected ? UI_TEXT("Dropped: %1")
                                : from == TunnelState::Arming || from == TunnelState::Ready
                                    ? UI_TEXT("Could not listen: %1")
                                    : UI_TEXT("Could not connect: %1"),
                                {why}));
            const auto wait = std::chrono::ceil<std::chrono::seconds>(m_retryAt - std::chrono::steady_clock::now());
            note(UiText::format(UI_TEXT("Retry scheduled in %1 s"),
                                {std::to_string(std::max<long long>(1, wait.count()))}));
            break;
        }
        case TunnelState::Relaunching:
            if (event == TunnelEvent::Reconnect) note(UI_TEXT("Reconnecting"));
            break;
        case TunnelState::Resting:
            note(UI_TEXT("Unused: ssh ended, the ports stay held"));
            break;
        case TunnelState::Ready:
            if (from == TunnelState::Arming) note(UI_TEXT("Ready: Zandrel holds the ports, ssh starts when used"));
            break;
        case TunnelState::Idle:
        case TunnelState::Stopping:
            if (event == TunnelEvent::Stop && !reason.empty())
                note(UiText::format(UI_TEXT("Stopped: %1"), {reason}));
            else if (event == TunnelEvent::Stop)
                note(m_stopBy == StopBy::DBus   ? UI_TEXT("Stopped through D-Bus")
                     : m_stopBy == StopBy::Quit ? UI_TEXT("Stopped: Zandrel quit")
                                                : UI_TEXT("Stopped by the user"));
            else if (event == TunnelEvent::Shutdown)
                note(UI_TEXT("Stopped: Zandrel quit"));
            else if (event == TunnelEvent::ExitedForGood && from != TunnelState::Stopping)
                note(UiText::format(UI_TEXT("Stopped: %1"), {reason}));
            else if (event == TunnelEvent::LaunchFailed)
                note(UiText::format(UI_TEXT("Could not start ssh: %1"), {reason}));
            break;
        default:
            break;
    }
}

void TunnelRun::flushJournal() {
    std::vector<std::string> due;
    {
        std::lock_guard lock(m_mutex);
        due.swap(m_journalDue);
    }
    TunnelJournal* journal = m_tunnel.journal();
    if (due.empty() || !journal) return;
    for (std::string& event : due) {
        if (event == kConnectedEvent) {
            const std::vector<std::string> addresses = m_tunnel.listeningAddresses();
            event = addresses.empty() ? UI_TEXT("Connected")
                                      : UiText::format(UI_TEXT("Connected: %1"), {joined(addresses)});
        }
        journal->record(event);
    }
}

void TunnelRun::recordEvent(const std::string& text) {
    if (TunnelJournal* journal = m_tunnel.journal()) journal->record(text);
}

void TunnelRun::start() {
    if (TunnelDriver::isShutdown()) return;
    const bool onDemand = m_tunnel.settings().onDemand;
    {
        std::unique_lock lock(m_mutex);
        if (m_state == TunnelState::Idle) {
            if (std::string refused = SshCommand::launchError(m_tunnel.settings()); !refused.empty()) {
                m_stopReason.clear();
                m_lastError = refused;
                lock.unlock();
                recordEvent(UiText::format(UI_TEXT("Could not start ssh: %1"), {refused}));
                post();
                return;
            }
        }
        // One whose ports are not held takes them first; ssh follows when they are used.
        if (onDemand && !m_endpoints && (m_state == TunnelState::Idle || m_state == TunnelState::RetryWaiting)) {
            lock.unlock();
            handle(TunnelEvent::Arm);
            return;
        }
    }
    handle(TunnelEvent::Start);
}

void TunnelRun::stopWithReason(const std::string& reason, StopBy by) {
    {
        std::lock_guard lock(m_mutex);
        m_stopBy = by;
    }
    handle(TunnelEvent::Stop, reason);
}

void TunnelRun::toggle() {
    if (isWanted())
        stop();
    else
        start();
}

void TunnelRun::reconnect() { handle(TunnelEvent::Reconnect); }

SshCommand TunnelRun::commandFor(const TunnelSettings& settings) const {
    std::lock_guard lock(m_mutex);
    return m_endpoints ? SshCommand(settings, *m_endpoints) : SshCommand(settings);
}

bool TunnelRun::launchNow(std::uint64_t launchToken) {
    const TunnelSettings settings = m_tunnel.settings();
    const SshCommand command = commandFor(settings);
    const std::string name = settings.connName.value_or("");
    const std::string path = command.program();
    const auto args = command.arguments();
    std::shared_ptr<ChildProcess> task;
    unsigned actions;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != TunnelState::Launching || launchToken != m_token) return false;  // stopped meanwhile
        Log::line(Log::format(text("T_START"), name));
        std::string error;
        if (TunnelDriver::isShutdown())
            error = UI_TEXT("Zandrel is quitting");
        else if (path.empty())
            error = UI_TEXT("the ssh program for SOCKS4 tunnels is missing from Zandrel's resources");
        else
            task = ChildProcess::launch(path, args, command.environment(), &error, ChildProcess::FullPipe::Drop);
        if (!task) {
            Log::line(name + ": " + error);
            m_log.append("Cannot start ssh: " + error);
            actions = applyLocked(TunnelEvent::LaunchFailed, error, nullptr);
        } else {
            m_task = task;
            m_runningCommand = commandOf(command);
            m_runningArguments = args;
            m_runningArguments.insert(m_runningArguments.begin(), path);
            m_runningSettings = settings;
            m_configForwards.clear();
            m_runSerial = ++g_runSerials;
            m_partialLine.clear();
            m_runError.clear();
            m_runErrorFinal = false;
            m_failure = {};
            m_interactive = false;
            m_awaitingForwardReplies = false;
            m_jumpSessions = 0;
            m_serverAddress.reset();
            m_remoteChannels.clear();
            m_runPaths = m_endpoints ? m_endpoints->localPaths : std::vector<std::string>{};
            std::map<std::string, std::string> heldToPort;
            for (const HeldForward& f : m_heldSpec)
                heldToPort[f.upstreamPath.empty() ? std::to_string(f.upstreamPort) : f.upstreamPath] =
                    std::to_string(f.port);
            m_targets.setHeldPorts(std::move(heldToPort));
            actions = applyLocked(TunnelEvent::Launched, {}, nullptr);
            m_status = text("S_CONNECTING");
            TunnelDriver::instance().watch(self(), task);
            m_log.append("Started " + SshCommand::displayCommand(args));
            const std::string user = settings.connUser.value_or(""), port = settings.connPort.value_or("");
            std::string destination = user.empty() ? std::string() : user + "@";
            destination += settings.connHost.value_or("");
            if (!port.empty()) destination += ":" + port;
            m_journalDue.push_back(UiText::format(UI_TEXT("Started ssh to %1"), {destination}));
        }
    }
    flushJournal();
    if (actions & Machine::Post) post();
    return task != nullptr;
}

void TunnelRun::settingsChanged() {
    std::lock_guard lock(m_mutex);
    const bool held = m_endpoints && (m_state == TunnelState::Ready || m_state == TunnelState::RetryWaiting);
    if (m_state != TunnelState::Connecting && m_state != TunnelState::Connected && !held) return;
    TunnelDriver::instance().scheduleSettingsCheck(self(), std::chrono::steady_clock::now() + kSettleTime,
                                                   ++m_checkToken);
}

void TunnelRun::settingsCheckDue(std::uint64_t checkToken) {
    const TunnelSettings settings = m_tunnel.settings();
    {
        std::unique_lock lock(m_mutex);
        if (checkToken != m_checkToken) return;
        // Held ports follow the edit at once; ssh, when it runs, is replaced below.
        if (settings.onDemand && m_endpoints) {
            if (std::string error = holdLocked(settings); !error.empty()) {
                m_runError = error;
                const bool ready = m_state == TunnelState::Ready;
                lock.unlock();
                if (ready) {
                    handle(TunnelEvent::HoldFailed, error);
                } else {
                    endRun();  // its retry takes the ports again, after the pause
                }
                return;
            }
        } else if (!settings.onDemand && m_endpoints) {
            releaseLocked();
            if (m_state == TunnelState::Ready || m_state == TunnelState::Resting) {
                lock.unlock();
                handle(TunnelEvent::Demand);  // started, no longer on demand: ssh runs now
                return;
            }
        } else if (settings.onDemand && m_state == TunnelState::Connected) {
            // Its ssh holds the ports: it ends, and Zandrel takes them over.
            lock.unlock();
            handle(TunnelEvent::IdleStop);
            return;
        }
        if (m_state == TunnelState::Ready || m_state == TunnelState::RetryWaiting) return;
    }
    const std::vector<std::string> wanted = commandOf(commandFor(settings));
    {
        std::lock_guard lock(m_mutex);
        if (wanted == m_runningCommand) return;
        if (m_state != TunnelState::Connecting && m_state != TunnelState::Connected) return;
        m_log.append("Settings applied: ssh starts again with them");
    }
    recordEvent(UI_TEXT("Settings applied: ssh starts again with them"));
    Log::line(m_tunnel.connName() + ": settings applied");
    reconnect();
}

void TunnelRun::endCheckDue(std::uint64_t runSerial) {
    std::lock_guard lock(m_mutex);
    if (!m_task || m_runSerial != runSerial || !m_task->isRunning()) return;
    m_log.append("ssh did not end when told to: killed");
    m_task->kill();
}

void TunnelRun::retryDue(std::uint64_t retryToken) {
    unsigned actions;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != TunnelState::RetryWaiting || retryToken != m_token) return;
        const bool arm = !m_endpoints && m_tunnel.settings().onDemand;
        actions = applyLocked(arm ? TunnelEvent::Arm : TunnelEvent::RetryDue, {}, nullptr);
    }
    flushJournal();
    if (actions & Machine::Post) post();
}

void TunnelRun::exited(int waitStatus) {
    unsigned actions;
    std::string name;
    {
        std::lock_guard lock(m_mutex);
        if (!m_partialLine.empty()) m_log.append(m_partialLine);
        if (WIFEXITED(waitStatus))
            m_log.append("ssh ended with status " + std::to_string(WEXITSTATUS(waitStatus)));
        else if (WIFSIGNALED(waitStatus))
            m_log.append("ssh ended by signal " + std::to_string(WTERMSIG(waitStatus)));
        if (!m_runErrorFinal && !m_partialLine.empty() && SshOutputParser::isReportable(m_partialLine))
            m_runError = SshOutputParser::reportText(m_partialLine);
        if (!m_partialLine.empty()) m_failure.observe(m_partialLine);
        if (!m_endpoints) removeSocketFiles(m_runPaths);
        m_runPaths.clear();
        const std::string forGood = reasonForGoodLocked();
        actions = applyLocked(forGood.empty() ? TunnelEvent::Exited : TunnelEvent::ExitedForGood, forGood, nullptr);
        TunnelDriver::instance().cancelEndCheck(this);
        // Quitting: no pause and no next run.
        if (TunnelDriver::isShutdown()) actions |= applyLocked(TunnelEvent::Shutdown, {}, nullptr);
        if (m_state == TunnelState::Ready && !m_endpoints) actions |= applyLocked(TunnelEvent::Arm, {}, nullptr);
    }
    Log::line(Log::format(text("T_STOP"), m_tunnel.connName()));
    flushJournal();
    if (actions & Machine::Post) post();
}

// ---- held ports ----

std::vector<HeldForward> TunnelRun::heldForwardsFor(const TunnelSettings& s, HeldEndpoints* endpoints) const {
    std::vector<HeldForward> out;
    const std::string folder = HeldForwards::socketFolder();
    auto shown = [](const std::string& bind, const std::string& port) {
        return (bind.empty() ? std::string("localhost") : bind) + ":" + port;
    };
    const std::string allOrLoopback = s.connRemote ? "*" : "";
    if (s.tunnelsLocal)
        for (size_t i = 0; i < s.tunnelsLocal->size(); ++i) {
            const ForwardEntry& e = (*s.tunnelsLocal)[i];
            std::string path;
            const int port = std::atoi(forwardField(e, "port").c_str());
            if (SshCommand::isComplete(e) && port > 0 && !folder.empty()) {
                path = folder + "/" + std::to_string(m_heldId) + "-" + std::to_string(i) + ".sock";
                std::string hostport = forwardField(e, "hostport");
                if (hostport.empty()) hostport = forwardField(e, "port");
                const std::string bind = forwardField(e, "bind");
                out.push_back({shown(bind, forwardField(e, "port")),
                               SshCommand::bracketed(forwardField(e, "host")) + ":" + hostport,
                               bind.empty() ? allOrLoopback : bind, port, path, 0});
            }
            endpoints->localPaths.push_back(path);
        }
    if (s.socks4 && s.socks4p && *s.socks4p > 0) {
        // The port ssh's SOCKS end had stays while the tunnel is held: its command does not change.
        endpoints->socksPort =
            m_endpoints && m_endpoints->socksPort ? m_endpoints->socksPort : HeldForwards::freeLoopbackPort();
        const std::string bind = s.socks4b.value_or("");
        out.push_back({shown(bind, std::to_string(*s.socks4p)) + " (SOCKS)", "SOCKS",
                       bind.empty() ? allOrLoopback : bind, static_cast<int>(*s.socks4p), "", endpoints->socksPort});
    }
    return out;
}

std::string TunnelRun::holdLocked(const TunnelSettings& settings) {
    HeldEndpoints endpoints;
    std::vector<HeldForward> spec = heldForwardsFor(settings, &endpoints);
    if (spec.empty()) return {};  // nothing to hold (remote forwards only): ssh runs as for any tunnel
    if (HeldForwards::socketFolder().empty())
        return UI_TEXT("Cannot make the folder for ssh's sockets in the runtime folder");
    if (std::string error = m_held->hold(spec, self()); !error.empty()) {
        m_endpoints.reset();
        m_heldSpec.clear();
        return error;
    }
    m_endpoints = std::move(endpoints);
    m_heldSpec = std::move(spec);
    return {};
}

void TunnelRun::releaseLocked() {
    m_endpoints.reset();
    m_heldSpec.clear();
    ++m_idleToken;
    TunnelDriver::instance().post([held = m_held] { held->release(); });
    if (!m_task) removeSocketFiles(m_runPaths);
}

void TunnelRun::removeSocketFiles(const std::vector<std::string>& paths) const {
    for (const std::string& path : paths)
        if (!path.empty()) ::unlink(path.c_str());
}

void TunnelRun::armDue(std::uint64_t holdToken) {
    const TunnelSettings settings = m_tunnel.settings();
    std::string error;
    bool held;
    {
        std::lock_guard lock(m_mutex);
        if (holdToken != m_holdToken || m_state != TunnelState::Arming) return;
        error = holdLocked(settings);
        if (!error.empty()) m_runError = error;
        held = m_endpoints.has_value();
    }
    handle(!error.empty() ? TunnelEvent::HoldFailed : held ? TunnelEvent::Held : TunnelEvent::Demand, error);
}

void TunnelRun::demandArrived() {
    TunnelState state;
    {
        std::lock_guard lock(m_mutex);
        state = m_state;
        if (state == TunnelState::RetryWaiting && m_endpoints) {
            // A connection waits: the next try comes soon, whatever the pause.
            const auto soon = std::chrono::steady_clock::now() + kWaitingRetry;
            if (m_retryAt > soon) {
                m_retryAt = soon;
                TunnelDriver::instance().cancelRetry(this);
                TunnelDriver::instance().scheduleRetry(self(), m_retryAt, ++m_token);
            }
        }
    }
    if (state == TunnelState::Ready || state == TunnelState::Resting) handle(TunnelEvent::Demand);
}

void TunnelRun::useChanged() {
    std::lock_guard lock(m_mutex);
    if (m_held->inUse() || !m_remoteChannels.empty()) return;
    m_lastUse = std::chrono::steady_clock::now();
    scheduleIdleCheckLocked();
}

void TunnelRun::scheduleIdleCheckLocked() {
    const std::int64_t minutes = m_tunnel.settings().idleMinutes.value_or(TunnelSettings::kDefaultIdleMinutes);
    if (minutes <= 0 || m_state != TunnelState::Connected || !m_endpoints) return;
    const auto at = m_lastUse + std::chrono::milliseconds(minutes * g_idleMinuteMs.load());
    TunnelDriver::instance().scheduleCall(at, [run = self(), token = ++m_idleToken] { run->idleDue(token); });
}

void TunnelRun::idleDue(std::uint64_t idleToken) {
    {
        std::lock_guard lock(m_mutex);
        if (idleToken != m_idleToken || m_state != TunnelState::Connected || !m_endpoints) return;
        // In use again: its end schedules the next check.
        if (m_held->inUse() || !m_remoteChannels.empty()) return;
    }
    handle(TunnelEvent::IdleStop);
}

void TunnelRun::remoteChannelLine(const std::string& line) {
    // "channel 3: new forwarded-tcpip [...]" opens one, "channel 3: free: ..." ends it.
    std::string_view rest(line);
    if (rest.starts_with("debug1: ")) rest.remove_prefix(8);
    if (!rest.starts_with("channel ")) return;
    rest.remove_prefix(8);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 6) return;
    const std::string digits(rest.substr(0, colon));
    if (digits.find_first_not_of("0123456789") != std::string::npos) return;
    const int channel = std::stoi(digits);
    rest.remove_prefix(colon + 1);
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        if (rest.starts_with(" new forwarded-tcpip"))
            m_remoteChannels.insert(channel);
        else if (rest.starts_with(" free:"))
            changed = m_remoteChannels.erase(channel) > 0 && m_remoteChannels.empty();
    }
    if (changed) useChanged();
}

// ---- what it shows ----

TunnelState TunnelRun::state() const {
    std::lock_guard lock(m_mutex);
    return m_state;
}

bool TunnelRun::isRunning() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning();
}

std::string TunnelRun::icon() const { return iconForCode(code()); }

std::string TunnelRun::iconForCode(int code) {
    switch (code) {
        case 1:
            return "middleState";
        case 2:
        case 3:  // ready: its ports answer
            return "onState";
        default:
            return "offState";
    }
}

int TunnelRun::retrySeconds() const {
    std::lock_guard lock(m_mutex);
    if (m_state != TunnelState::RetryWaiting) return 0;
    const auto left = std::chrono::ceil<std::chrono::seconds>(m_retryAt - std::chrono::steady_clock::now());
    return std::max(1, static_cast<int>(left.count()));
}

std::string TunnelRun::status() const {
    if (int seconds = retrySeconds()) return Log::format(text("S_RETRYING"), std::to_string(seconds));
    {
        std::lock_guard lock(m_mutex);
        if (m_status) return *m_status;
    }
    return text("S_IDLE");
}

void TunnelRun::setStatus(std::optional<std::string> status) {
    std::lock_guard lock(m_mutex);
    m_status = std::move(status);
}

std::string TunnelRun::lastError() const {
    std::lock_guard lock(m_mutex);
    return m_lastError;
}

std::string TunnelRun::reasonForGoodLocked() {
    switch (m_failure.kind()) {
        case RunFailure::Kind::Heals:
            return {};
        case RunFailure::Kind::LoginRefused: {
            const auto now = std::chrono::steady_clock::now();
            m_refusals.push_back(now);
            while (!m_refusals.empty() && now - m_refusals.front() > kRefusalWindow) m_refusals.pop_front();
            if (m_refusals.size() < static_cast<size_t>(kMaxRefusals)) return {};
            m_refusals.clear();
            return UiText::format(
                UI_TEXT("%1 The server refused the login %2 times in %3 minutes: Zandrel stopped trying, so that an "
                        "intrusion blocker such as fail2ban does not ban this address. Check the user name, key or "
                        "password, then press Start."),
                {m_failure.reason(), std::to_string(kMaxRefusals), std::to_string(kRefusalWindow.count())});
        }
        default:
            return m_failure.reason();
    }
}

bool TunnelRun::failedForGood() const {
    std::lock_guard lock(m_mutex);
    return m_failedForGood;
}

unsigned TunnelRun::drops() const {
    std::lock_guard lock(m_mutex);
    return m_drops;
}

pid_t TunnelRun::sshPid() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning() ? m_task->pid() : 0;
}

std::optional<TunnelSettings> TunnelRun::runningSettings() const {
    std::lock_guard lock(m_mutex);
    return m_runningSettings;
}

ForwardList TunnelRun::configForwards() const {
    std::lock_guard lock(m_mutex);
    return m_configForwards;
}

std::uint64_t TunnelRun::runSerial() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning() && m_state != TunnelState::Stopping ? m_runSerial : 0;
}

// ---- ssh's output ----

void TunnelRun::endRun() {
    std::shared_ptr<ChildProcess> task;
    {
        std::lock_guard lock(m_mutex);
        task = m_task;
    }
    if (task) task->terminate();
}

void TunnelRun::forwardReported(const ForwardEntry& reported) {
    std::lock_guard lock(m_mutex);
    if (!m_runningSettings) return;
    // ssh's ends of the ports Zandrel holds.
    for (const HeldForward& f : m_heldSpec)
        if (forwardField(reported, "bind") == (f.upstreamPath.empty() ? "127.0.0.1" : f.upstreamPath) &&
            (!f.upstreamPath.empty() || forwardField(reported, "port") == std::to_string(f.upstreamPort)))
            return;
    const TunnelSettings& s = *m_runningSettings;
    // ssh names the address as given, without brackets; no address is its LOCALHOST, or "*" with -g.
    const std::string bind = forwardField(reported, "bind"), port = forwardField(reported, "port");
    auto same = [&](std::string ownBind, const std::string& ownPort) {
        if (ownBind.starts_with('[') && ownBind.ends_with(']')) ownBind = ownBind.substr(1, ownBind.size() - 2);
        return ownPort == port && (ownBind == bind || (ownBind.empty() && bind == "*"));
    };
    if (s.socks4 && s.socks4p && same(s.socks4b.value_or(""), std::to_string(*s.socks4p))) return;
    for (const ForwardEntry& e : s.tunnelsLocal ? *s.tunnelsLocal : ForwardList{})
        if (SshCommand::isComplete(e) && same(forwardField(e, "bind"), forwardField(e, "port"))) return;
    m_configForwards.push_back(reported);
}

void TunnelRun::connectedLineSeen(bool interactive, bool forwardsConfirmed) {
    if (interactive) m_interactive = true;
    if (forwardsConfirmed) m_awaitingForwardReplies = false;
    // With remote forwards, ssh enters its session before the server has answered them.
    if (!m_interactive || m_awaitingForwardReplies || m_runErrorFinal) return;
    {
        std::lock_guard lock(m_mutex);
        applyLocked(TunnelEvent::ConnectedSeen, {}, nullptr);  // announced with the line
    }
    flushJournal();
}

bool TunnelRun::wholeLine(const std::string& whole, bool* changed) {
    const bool perConnection = SshOutputParser::isPerConnection(whole);
    m_log.append(whole, perConnection);
    if (perConnection) {
        std::string refused;
        bool held;
        {
            std::lock_guard lock(m_mutex);
            const auto seen = m_targets.observe(whole, nowMs());
            *changed = *changed || seen != TargetRefusals::Seen::Nothing;
            if (seen == TargetRefusals::Seen::FirstFailure) refused = m_targets.lastWarning(nowMs());
            held = m_endpoints.has_value();
            if (held && (seen == TargetRefusals::Seen::FirstFailure || seen == TargetRefusals::Seen::Failure))
                TunnelDriver::instance().post([h = m_held, at = m_targets.lastListening()] { h->countRefused(at); });
        }
        if (held) remoteChannelLine(whole);
        if (!refused.empty()) recordEvent(UiText::format(UI_TEXT("Forward failed: %1"), {refused}));
        return true;
    }
    m_failure.observe(whole);
    if (const auto forward = SshOutputParser::localForward(whole)) {
        forwardReported(*forward);
        *changed = true;
    }
    if (const auto server = SshOutputParser::connectingTo(whole)) {
        std::lock_guard lock(m_mutex);
        if (!m_serverAddress) m_serverAddress = server;  // later ones are the forwards' or a hop's
    }
    // A loop never ends by itself: each ssh starts the next until the system runs out.
    if (m_failure.kind() == RunFailure::Kind::JumpHostLoop && !m_runErrorFinal) {
        m_runErrorFinal = true;
        endRun();
    }
    if (SshOutputParser::isForwardFailure(whole)) {
        // ssh goes on while another address listens; a forward that does not work is a failure.
        if (!m_runErrorFinal) {
            m_runError = SshOutputParser::reportText(whole);
            if (const auto port = SshOutputParser::busyPort(whole))
                if (std::string owner = PortOwner::describe(*port); !owner.empty())
                    m_runError = UiText::format(UI_TEXT("%1 (%2)"), {m_runError, owner});
            recordEvent(UiText::format(UI_TEXT("Forward failed: %1"), {m_runError}));
        }
        m_runErrorFinal = true;
        endRun();
    } else if (!m_runErrorFinal && SshOutputParser::isReportable(whole)) {
        m_runError = SshOutputParser::reportText(whole);
    }
    return false;
}

bool TunnelRun::stdErr(const char* data, size_t size) {
    if (size == 0) return false;  // end of file
    {
        // A stop asked for: the remaining output cannot change what the user sees.
        std::lock_guard lock(m_mutex);
        if (m_state == TunnelState::Stopping || m_state == TunnelState::Idle) return false;
    }
    using M = SshOutputParser::Marker;
    const std::string chunk(data, size);
    bool keepReading = true;
    bool changed = false;  // anything a viewer shows: announced once for the chunk
    auto showStatus = [&](const std::string& status) {
        std::lock_guard lock(m_mutex);
        if (m_status == status) return;
        m_status = status;
        changed = true;
    };
    size_t start = 0;
    for (;;) {
        size_t nl = chunk.find('\n', start);
        const std::string line = chunk.substr(start, nl == std::string::npos ? std::string::npos : nl - start);

        // The reason shown for a failed run needs whole lines, which may span chunks.
        if (nl == std::string::npos) {
            m_partialLine += line;
        } else {
            std::string whole = m_partialLine + line;
            m_partialLine.clear();
            if (!whole.empty() && whole.back() == '\r') whole.pop_back();
            if (wholeLine(whole, &changed)) {
                // A forwarded connection's line: ssh's markers of the run are not in it.
                start = nl + 1;
                continue;
            }
        }

        if (SshOutputParser::holds(line, M::JumpSession)) ++m_jumpSessions;
        if (SshOutputParser::holds(line, M::Connected)) {
            if (m_jumpSessions > 0) {
                --m_jumpSessions;  // the bastion's session, which ours runs through
            } else {
                connectedLineSeen(true, false);
                changed = true;
            }
        }
        if (SshOutputParser::holds(line, M::ForwardRepliesExpected)) m_awaitingForwardReplies = true;
        if (SshOutputParser::holds(line, M::ForwardRepliesReceived)) {
            connectedLineSeen(false, true);
            changed = true;
        }
        if (SshOutputParser::holds(line, M::Authenticated)) showStatus(text("S_AUTH"));
        if (SshOutputParser::holds(line, M::Authenticated) || SshOutputParser::holds(line, M::Connected))
            TunnelDriver::instance().handshakeDone(this);
        if (SshOutputParser::holds(line, M::PortForwarded)) {
            if (auto port = SshOutputParser::forwardedPort(line)) {
                // A held port's: ssh names its own end.
                if (const auto reported = SshOutputParser::localForward(line)) {
                    std::lock_guard lock(m_mutex);
                    for (const HeldForward& f : m_heldSpec)
                        if (forwardField(*reported, "bind") == f.upstreamPath ||
                            (f.upstreamPath.empty() &&
                             forwardField(*reported, "port") == std::to_string(f.upstreamPort)))
                            port = std::to_string(f.port);
                }
                showStatus(UiText::format(UI_TEXT("Port %1 forwarded"), {*port}));
            }
        }
        if (SshOutputParser::holds(line, M::ClosedByRemote)) {
            endRun();
            keepReading = false;
            showStatus(UI_TEXT("Connection closed"));
        }
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    if (changed) post();
    return keepReading;
}

// ---- what it carries and exposes ----

std::vector<std::string> TunnelRun::exposureOf(pid_t ssh) const {
    std::vector<std::string> out;
    for (const SocketTraffic::Listener& l : SocketTraffic::listeners(ssh)) {
        std::string sentence =
            UiText::format(UI_TEXT("Open to the network on %1:%2"), {l.address, std::to_string(l.port)});
        if (!l.loopback && std::find(out.begin(), out.end(), sentence) == out.end()) out.push_back(std::move(sentence));
    }
    const std::optional<TunnelSettings> running = runningSettings();
    if (running && running->tunnelsRemote)
        for (const ForwardEntry& e : *running->tunnelsRemote) {
            const std::string bind = forwardField(e, "bind");
            if (SshCommand::isComplete(e) && !isLoopbackName(bind))
                out.push_back(UiText::format(
                    UI_TEXT("Remote port %1 asked for %2 (the server's GatewayPorts decides what it gets)"),
                    {forwardField(e, "port"), bind}));
        }
    return out;
}

void TunnelRun::sampleDue(std::uint64_t sampleToken) {
    pid_t pid = 0;
    std::optional<SocketTraffic::Connection> connection;
    std::optional<std::pair<std::string, int>> server;
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        if (sampleToken != m_sampleToken || m_state != TunnelState::Connected || !m_task) return;
        pid = m_task->pid();
        connection = m_connection;
        server = m_serverAddress;
        first = m_samples.empty();
    }
    if (!connection && server) connection = SocketTraffic::findConnection(pid, server->first, server->second);
    const auto counts = connection ? SocketTraffic::counts(*connection) : std::nullopt;
    std::vector<std::string> exposure;
    if (first) exposure = exposureOf(pid);
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        if (sampleToken != m_sampleToken) return;
        m_connection = connection;
        if (counts) {
            if (m_samples.size() == kSamples) m_samples.pop_front();
            m_samples.push_back({nowMs(), counts->sent, counts->received});
        }
        if (first && exposure != m_exposure) {
            m_exposure = std::move(exposure);
            changed = true;
        }
        TunnelDriver::instance().scheduleSample(self(), std::chrono::steady_clock::now() + kSampleInterval,
                                                m_sampleToken);
    }
    if (changed) post();
}

std::string TunnelRun::stateWord() const {
    std::lock_guard lock(m_mutex);
    switch (m_state) {
        case TunnelState::Idle:
            return m_lastError.empty() ? "idle" : "stopped";
        case TunnelState::Launching:
        case TunnelState::Connecting:
        case TunnelState::Relaunching:
        case TunnelState::Arming:  // its ports are not held yet
            return "connecting";
        case TunnelState::Connected:
            return "connected";
        case TunnelState::RetryWaiting:
            return "retrying";
        case TunnelState::Stopping:
            return "stopping";
        case TunnelState::Ready:
        case TunnelState::Resting:
            return "ready";
    }
    return "idle";
}

TunnelReport TunnelRun::report() const {
    TunnelReport r;
    r.state = stateWord();
    r.status = status();
    r.addresses = m_tunnel.listeningAddresses();
    std::optional<SocketTraffic::Connection> connection;
    const std::int64_t now = nowMs();
    {
        std::lock_guard lock(m_mutex);
        r.reason = m_lastError.empty() && m_state == TunnelState::RetryWaiting ? m_runError : m_lastError;
        if (m_task && m_task->isRunning() && m_state != TunnelState::Stopping) r.command = m_runningArguments;
        r.connectedSinceMs = m_connectedSinceMs;
        r.samples.assign(m_samples.begin(), m_samples.end());
        r.warnings = m_exposure;
        for (const HeldForward& f : m_heldSpec)
            if (!isLoopbackName(f.bind))
                r.warnings.push_back(UiText::format(UI_TEXT("Open to the network on %1:%2"),
                                                    {f.bind == "*" ? "0.0.0.0" : f.bind, std::to_string(f.port)}));
        for (std::string& w : m_targets.warnings(now)) r.warnings.push_back(std::move(w));
        connection = m_connection;
        std::time_t t = static_cast<std::time_t>(now / 1000);
        std::tm local{};
        localtime_r(&t, &local);
        const std::int64_t midnight =
            now - ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000LL - now % 1000;
        r.dropsToday = static_cast<unsigned>(
            std::count_if(m_dropTimes.begin(), m_dropTimes.end(), [&](std::int64_t at) { return at >= midnight; }));
    }
    r.forwards = m_held->stats();
    if (r.connectedSinceMs) {
        if (const auto counts = connection ? SocketTraffic::counts(*connection) : std::nullopt) {
            r.bytesSent = counts->sent;
            r.bytesReceived = counts->received;
        } else if (!r.samples.empty()) {
            r.bytesSent = r.samples.back().sent;
            r.bytesReceived = r.samples.back().received;
        }
    }
    if (r.samples.size() >= 2) {
        const TrafficSample &a = r.samples[r.samples.size() - 2], &b = r.samples.back();
        const double seconds = static_cast<double>(b.atMs - a.atMs) / 1000.0;
        if (seconds > 0) {
            r.sendRate = static_cast<double>(b.sent - a.sent) / seconds;
            r.receiveRate = static_cast<double>(b.received - a.received) / seconds;
        }
    }
    return r;
}
