#include "TunnelDriver.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "ChildProcess.h"
#include "Log.h"
#include "TunnelRun.h"

namespace {

std::atomic<bool> g_shutdown{false};
std::atomic<int> g_handshakeLimit{TunnelDriver::kHandshakesPerServer};
std::mutex g_instanceMutex;
TunnelDriver* g_instance = nullptr;  // never destroyed: the loop may run while statics go

constexpr std::uint64_t kWakeKey = 0;
constexpr std::uint64_t kDescriptorBit = std::uint64_t{1} << 63;
// A watch's epoll key: its id, and whether the descriptor is the pidfd.
std::uint64_t keyOf(std::uint64_t id, bool pidfd) { return id << 1 | (pidfd ? 1 : 0); }

}  // namespace

TunnelDriver& TunnelDriver::instance() {
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) g_instance = new TunnelDriver;
    return *g_instance;
}

TunnelDriver::TunnelDriver() {
    // Every connection through a held port costs six descriptors (two sockets, two pipes): the
    // soft limit of 1,024 would refuse the 171st.
    if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0) {
        Log::line("Cannot start the tunnels' event loop; no tunnel can run.");
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
    std::thread([this] { loop(); }).detach();
}

void TunnelDriver::wake() {
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) {
        // The counter is full: the loop is woken already.
    }
}

void TunnelDriver::post(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
    }
    wake();
}

void TunnelDriver::launch(std::shared_ptr<TunnelRun> run, std::uint64_t token, std::string server) {
    post([this, launch = Launch{std::move(run), token}, server = std::move(server)]() mutable {
        launchOrWait(std::move(launch), server);
    });
}

void TunnelDriver::setHandshakeLimit(int limit) { g_handshakeLimit = limit; }

void TunnelDriver::launchOrWait(Launch launch, const std::string& server) {
    {
        std::lock_guard lock(m_mutex);
        // A run holds one handshake at most: a stale launch of it gave its own back already.
        if (!m_handshaking.contains(launch.run.get())) {
            Server& s = m_servers[server];
            const int limit = g_handshakeLimit;
            if (limit > 0 && s.handshakes >= limit) {
                s.waiting.push_back(std::move(launch));
                ++m_waitingLaunches;
                return;
            }
            ++s.handshakes;
            m_handshaking.emplace(launch.run.get(), server);
        }
    }
    launchHolding(launch);
}

void TunnelDriver::launchHolding(const Launch& launch) {
    if (!launch.run->launchNow(launch.token)) handshakeDone(launch.run.get());
}

void TunnelDriver::handshakeDone(const TunnelRun* run) {
    {
        std::lock_guard lock(m_mutex);
        const auto held = m_handshaking.find(run);
        if (held == m_handshaking.end()) return;
        const auto server = m_servers.find(held->second);
        m_handshaking.erase(held);
        Server& s = server->second;
        --s.handshakes;
        const int limit = g_handshakeLimit;
        if (!s.waiting.empty() && (limit <= 0 || s.handshakes < limit)) {
            // The next one takes the handshake over at once, before any later launch can.
            Launch next = std::move(s.waiting.front());
            s.waiting.pop_front();
            --m_waitingLaunches;
            ++s.handshakes;
            m_handshaking.emplace(next.run.get(), server->first);
            m_work.push_back([this, next = std::move(next)] { launchHolding(next); });
        } else if (s.handshakes == 0 && s.waiting.empty()) {
            m_servers.erase(server);
            return;
        }
    }
    wake();
}

void TunnelDriver::cancelLaunch(const TunnelRun* run) {
    std::vector<std::shared_ptr<TunnelRun>> removed;
    {
        std::lock_guard lock(m_mutex);
        for (auto server = m_servers.begin(); server != m_servers.end();) {
            auto& waiting = server->second.waiting;
            for (auto it = waiting.begin(); it != waiting.end();) {
                if (it->run.get() == run) {
                    removed.push_back(std::move(it->run));
                    it = waiting.erase(it);
                    --m_waitingLaunches;
                } else {
                    ++it;
                }
            }
            server = server->second.handshakes == 0 && waiting.empty() ? m_servers.erase(server) : std::next(server);
        }
        notifyIfIdleLocked();
    }
    // As with timers: the caller holds the run's lock, and this may be the last share of its tunnel.
    if (!removed.empty()) post([keep = std::move(removed)] {});
}

void TunnelDriver::scheduleRetry(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token) {
    addTimer(at, Timer{std::move(run), token, Timer::Kind::Retry, {}});
}

void TunnelDriver::addTimer(Clock::time_point at, Timer timer) {
    {
        std::lock_guard lock(m_mutex);
        if (timer.quiet()) ++m_quietTimers;
        m_timers.emplace(at, std::move(timer));
    }
    wake();  // the loop's wait may end sooner now
}

void TunnelDriver::scheduleSettingsCheck(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token) {
    addTimer(at, Timer{std::move(run), token, Timer::Kind::SettingsCheck, {}});
}

void TunnelDriver::scheduleEndCheck(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t serial) {
    addTimer(at, Timer{std::move(run), serial, Timer::Kind::EndCheck, {}});
}

void TunnelDriver::scheduleSample(std::shared_ptr<TunnelRun> run, Clock::time_point at, std::uint64_t token) {
    addTimer(at, Timer{std::move(run), token, Timer::Kind::Sample, {}});
}

void TunnelDriver::scheduleCall(Clock::time_point at, std::function<void()> call) {
    Timer timer{nullptr, 0, Timer::Kind::Call, {}};
    timer.call = std::move(call);
    addTimer(at, std::move(timer));
}

std::uint64_t TunnelDriver::addDescriptor(int fd, std::uint32_t events, DescriptorHandler handler) {
    const std::uint64_t id = m_nextDescriptor++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = kDescriptorBit | id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    m_descriptors.emplace(id, std::make_shared<DescriptorHandler>(std::move(handler)));
    return id;
}

void TunnelDriver::removeDescriptor(std::uint64_t id, int fd) {
    const auto it = m_descriptors.find(id);
    if (it == m_descriptors.end()) return;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_descriptors.erase(it);
}

void TunnelDriver::cancelTimers(const TunnelRun* run, bool endChecksOnly) {
    std::vector<std::shared_ptr<TunnelRun>> removed;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            if (it->second.run.get() == run && (!endChecksOnly || it->second.kind == Timer::Kind::EndCheck)) {
                if (it->second.quiet()) --m_quietTimers;
                removed.push_back(std::move(it->second.run));
                it = m_timers.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The caller holds the run's lock, and the timer may hold the last share of its tunnel: the
    // loop lets go of it later.
    if (!removed.empty()) post([keep = std::move(removed)] {});
}

void TunnelDriver::watch(std::shared_ptr<TunnelRun> run, std::shared_ptr<ChildProcess> child) {
    std::uint64_t id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextWatch++;
        m_watches.emplace(id, Watch{std::move(run), child, true});
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = keyOf(id, true);
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, child->pidFd(), &ev);
    ev.data.u64 = keyOf(id, false);
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, child->outputFd(), &ev);
}

void TunnelDriver::setShutdown(bool on) {
    g_shutdown = on;
    if (!on) return;
    // Every retry pause and every launch waiting for its server ends now; ssh that runs is
    // stopped by its owner.
    TunnelDriver& driver = instance();
    driver.post([&driver] {
        std::vector<std::shared_ptr<TunnelRun>> waiting;
        {
            std::lock_guard lock(driver.m_mutex);
            for (const auto& [at, timer] : driver.m_timers)
                if (timer.run) waiting.push_back(timer.run);
            for (const auto& [key, server] : driver.m_servers)
                for (const Launch& launch : server.waiting) waiting.push_back(launch.run);
        }
        for (const auto& run : waiting) run->shutdown();
    });
}

bool TunnelDriver::isShutdown() { return g_shutdown.load(); }

bool TunnelDriver::waitUntilIdle(std::chrono::milliseconds timeout) {
    TunnelDriver& driver = instance();
    std::unique_lock lock(driver.m_mutex);
    return driver.m_idle.wait_for(lock, timeout, [&driver] { return !driver.busyLocked() && !driver.m_working; });
}

void TunnelDriver::notifyIfIdleLocked() {
    if (!busyLocked() && !m_working) m_idle.notify_all();
}

void TunnelDriver::loop() {
    epoll_event events[64];
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard lock(m_mutex);
            if (!m_timers.empty()) {
                const auto left = m_timers.begin()->first - Clock::now();
                timeout = static_cast<int>(
                    std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            }
        }
        const int n = epoll_wait(m_epoll, events, 64, timeout);
        if (n < 0 && errno != EINTR) {
            Log::line(std::string("The tunnels' event loop failed: ") + std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (!(key & kDescriptorBit)) {
                handleEvent(key);
            } else if (const auto it = m_descriptors.find(key & ~kDescriptorBit); it != m_descriptors.end()) {
                const auto handler = it->second;  // it may remove itself
                (*handler)(events[i].events);
            }
        }

        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(m_mutex);
            work.swap(m_work);
            m_working = !work.empty();
        }
        for (auto& w : work) w();
        work.clear();  // the runs they held go before the loop counts as idle
        runDueTimers();
        std::lock_guard lock(m_mutex);
        m_working = false;
        notifyIfIdleLocked();
    }
}

void TunnelDriver::handleEvent(std::uint64_t key) {
    if (key == kWakeKey) {
        std::uint64_t count;
        while (::read(m_wake, &count, sizeof count) > 0) {
        }
        return;
    }
    const std::uint64_t id = key >> 1;
    Watch watch;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_watches.find(id);
        if (it == m_watches.end()) return;  // ended by an earlier event of this round
        watch = it->second;
    }
    TunnelRun* run = watch.run.get();
    auto handler = [run](const char* data, size_t size) { return run->stdErr(data, size); };
    const bool exited = key & 1;
    if (!exited) {
        if (!watch.child->readOutput(handler)) {
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.child->outputFd(), nullptr);
            std::lock_guard lock(m_mutex);
            if (auto it = m_watches.find(id); it != m_watches.end()) it->second.reading = false;
        }
        return;
    }
    // What is still in the pipe belongs to this run; a grandchild holding the pipe open is not waited for.
    if (watch.reading) {
        watch.child->readOutput(handler);
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.child->outputFd(), nullptr);
    }
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.child->pidFd(), nullptr);
    const int status = watch.child->finish();
    handshakeDone(run);  // before the run's next launch, which may follow from its exit
    run->exited(status);
    std::lock_guard lock(m_mutex);
    m_watches.erase(id);  // the tunnel itself goes, if it must, with the copy, after the lock
    notifyIfIdleLocked();
}

void TunnelDriver::runDueTimers() {
    std::vector<Timer> due;
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        while (!m_timers.empty() && m_timers.begin()->first <= now) {
            if (m_timers.begin()->second.quiet()) --m_quietTimers;
            due.push_back(std::move(m_timers.begin()->second));
            m_timers.erase(m_timers.begin());
        }
        m_working = m_working || !due.empty();
    }
    for (const Timer& t : due) {
        switch (t.kind) {
            case Timer::Kind::Retry:
                t.run->retryDue(t.token);
                break;
            case Timer::Kind::SettingsCheck:
                t.run->settingsCheckDue(t.token);
                break;
            case Timer::Kind::EndCheck:
                t.run->endCheckDue(t.token);
                break;
            case Timer::Kind::Sample:
                t.run->sampleDue(t.token);
                break;
            case Timer::Kind::Call:
                t.call();
                break;
        }
    }
}
