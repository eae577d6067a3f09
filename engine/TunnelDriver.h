#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChildProcess;
class TunnelRun;

// The engine's one loop for every tunnel: a thread that lives as long as the program, waits in
// epoll on every ssh's pidfd and output and on the retry timers, forks every ssh (its parent-death
// signal follows this thread, which never ends) and reaps it. Other threads hand it work and
// never wait for it.
class TunnelDriver {
public:
    using Clock = std::chrono::steady_clock;

    static TunnelDriver& instance();

    // Starts the run's ssh on the loop, unless the token is stale by then. A server (its
    // SshCommand::serverKey) gets at most kHandshakesPerServer ssh that have not logged in yet:
    // sshd's default MaxStartups refuses handshakes from the tenth on. A launch beyond that waits
    // here, in order, until one of them has logged in or ended.
    void launch(std::shared_ptr<TunnelRun> run, std::uint64_t token, std::string server);
    static constexpr int kHandshakesPerServer = 8;
    // The run's ssh has logged in: its server may take the next launch. Also when it ended.
    void handshakeDone(const TunnelRun* run);
    // The run's launch that waits for its server goes (the run was stopped).
    void cancelLaunch(const TunnelRun* run);
    // Benchmarks and tests: handshakes allowed per server at once; 0 for no limit.
    static void setHandshakeLimit(int limit);
    void scheduleRetry(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token);
    // Asks the run, at that time, whether its settings have changed since its ssh started.
    void scheduleSettingsCheck(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token);
    // Asks the run, at that time, whether the ssh it told to end (run serial) still runs.
    void scheduleEndCheck(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t serial);
    // Asks the run, at that time, to count its connection's bytes. Such a timer alone never keeps
    // the engine busy: quitting does not wait for it.
    void scheduleSample(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token);
    // Calls work on the loop at that time. Such a call never keeps the engine busy either.
    void scheduleCall(Clock::time_point at, std::function<void()> call);
    // Runs work on the loop, in the order asked.
    void post(std::function<void()> work);
    void cancelRetry(const TunnelRun* run) { cancelTimers(run, false); }
    // The run's ssh has ended: no end check is needed any more.
    void cancelEndCheck(const TunnelRun* run) { cancelTimers(run, true); }
    // On the loop: follows the child's output and its exit for the run.
    void watch(std::shared_ptr<TunnelRun> run, std::shared_ptr<ChildProcess> child);

    // Descriptors the loop serves for others (the held ports and the connections they carry).
    // On the loop only: handler is called with epoll's event bits until removeDescriptor; an id
    // is never reused, so an event of a removed one goes nowhere.
    using DescriptorHandler = std::function<void(std::uint32_t events)>;
    std::uint64_t addDescriptor(int fd, std::uint32_t events, DescriptorHandler handler);
    void removeDescriptor(std::uint64_t id, int fd);

    // Engine-wide switch thrown at quit: no ssh is started after it and every retry pause ends.
    static void setShutdown(bool on);
    static bool isShutdown();
    // Waits until no ssh, launch or retry pause is left, at most the given time; true when none is.
    [[nodiscard]] static bool waitUntilIdle(std::chrono::milliseconds timeout);

    TunnelDriver(const TunnelDriver&) = delete;
    TunnelDriver& operator=(const TunnelDriver&) = delete;

private:
    struct Watch {
        std::shared_ptr<TunnelRun> run;
        std::shared_ptr<ChildProcess> child;
        bool reading = true;
    };
    struct Launch {
        std::shared_ptr<TunnelRun> run;
        std::uint64_t token;
    };
    struct Server {
        int handshakes = 0;  // ssh launched, not yet logged in or ended
        std::deque<Launch> waiting;
    };
    struct Timer {
        std::shared_ptr<TunnelRun> run;
        std::uint64_t token;
        enum class Kind { Retry, SettingsCheck, EndCheck, Sample, Call } kind = Kind::Retry;
        std::function<void()> call;
        bool quiet() const { return kind == Kind::Sample || kind == Kind::Call; }
    };

    TunnelDriver();
    void addTimer(Clock::time_point at, Timer timer);
    void cancelTimers(const TunnelRun* run, bool endChecksOnly);
    void launchOrWait(Launch launch, const std::string& server);
    void launchHolding(const Launch& launch);
    void wake();
    void loop();
    void handleEvent(std::uint64_t key);
    void runDueTimers();
    bool busyLocked() const {
        return !m_work.empty() || m_timers.size() > m_quietTimers || !m_watches.empty() || m_waitingLaunches > 0;
    }
    void notifyIfIdleLocked();

    int m_epoll = -1;
    int m_wake = -1;
    std::mutex m_mutex;  // guards everything below; never held while a run is called
    std::condition_variable m_idle;
    std::vector<std::function<void()>> m_work;
    std::multimap<Clock::time_point, Timer> m_timers;
    size_t m_quietTimers = 0;                                                   // of m_timers
    std::map<std::uint64_t, std::shared_ptr<DescriptorHandler>> m_descriptors;  // the loop's own: no lock
    std::uint64_t m_nextDescriptor = 1;
    std::map<std::uint64_t, Watch> m_watches;
    std::uint64_t m_nextWatch = 1;
    std::map<std::string, Server> m_servers;
    std::map<const TunnelRun*, std::string> m_handshaking;  // each run that holds a handshake, and its server
    size_t m_waitingLaunches = 0;
    bool m_working = false;  // the loop is running work it took from m_work
};
