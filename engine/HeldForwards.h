#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SpliceRelay.h"
#include "TunnelReport.h"

// One port that Zandrel listens on for a tunnel that starts when first used, and ssh's end of
// its forward, which only Zandrel reaches.
struct HeldForward {
    std::string listen;  // as the user knows it: "localhost:8143", "localhost:1080 (SOCKS)"
    std::string target;  // "db.internal:5432"; "SOCKS" for the SOCKS port
    std::string bind;    // as set: "" for loopback, "*" for every address (or -g)
    int port = 0;
    std::string upstreamPath;  // ssh's Unix socket for a local forward, or
    int upstreamPort = 0;      // ssh's loopback port for SOCKS
    bool operator==(const HeldForward&) const = default;
};

// The held ports of one tunnel: listens on them while the tunnel is wanted, makes connections
// wait while ssh is not up (in the order they came, up to kWait, at most kMaxWaiting), and
// relays each to ssh's end once it is. On the engine's loop only, but for the readers marked.
class HeldForwards : public std::enable_shared_from_this<HeldForwards> {
public:
    static constexpr size_t kMaxWaiting = 128;
    static constexpr std::chrono::seconds kWait{30};
    // How long ssh may take to end after its end of a forward went without an answer, before the
    // target is taken to have refused.
    static constexpr std::chrono::milliseconds kDropGrace{500};

    struct Callbacks {
        std::function<void()> demand;           // a connection waits for ssh
        std::function<void(bool inUse)> inUse;  // a first connection opened, or the last closed
    };
    explicit HeldForwards(Callbacks callbacks) : m_callbacks(std::move(callbacks)) {}
    ~HeldForwards();
    HeldForwards(const HeldForwards&) = delete;
    HeldForwards& operator=(const HeldForwards&) = delete;

    // Listens on every forward's port, all or none; "" or why not (a port in use: by whom).
    // Forwards that did not change keep their listeners, connections and counts. keep lives as
    // long as ports are held (the tunnel the callbacks go to).
    std::string hold(const std::vector<HeldForward>& forwards, std::shared_ptr<void> keep);
    // Closes the listeners, the waiting connections and those open.
    void release();
    // ssh's ends listen (its run is connected), or no longer do.
    void setUpstreamReady(bool ready);
    // Closes the connections that wait; the ports stay held.
    void closeWaiting();
    // ssh said the target refused a connection through the end at that path or port.
    void countRefused(const std::string& upstream);

    // Any thread.
    bool isHolding() const { return m_holding.load(); }
    size_t waiting() const { return m_waitingCount.load(); }
    bool inUse() const { return m_inUse.load(); }
    std::vector<ForwardStats> stats() const;

    // The folder for ssh's sockets: private to the user, made afresh for this process, with
    // those of ended Zandrel processes removed. "" when none can be made.
    static std::string socketFolder();
    // At quit, once no ssh runs: the folder goes with what is left in it.
    static void removeSocketFolder();
    // A free port on 127.0.0.1 for ssh's SOCKS end.
    static int freeLoopbackPort();

private:
    struct Listener {
        int fd = -1;
        std::uint64_t id = 0;
    };
    struct Port {
        HeldForward forward;
        std::vector<Listener> listeners;
        std::shared_ptr<RelayCounters> counters = std::make_shared<RelayCounters>();
    };
    struct Waiting {
        int fd = -1;
        std::uint64_t id = 0;
        std::shared_ptr<Port> port;
        std::chrono::steady_clock::time_point until;
        std::uint64_t seq = 0;  // in the order they came
        std::string sent;       // what it sent through a run that dropped before answering
        bool counted = false;   // it went through once already
    };
    static std::string listen(Port& port, const std::function<void(int)>& onAccept);
    static void closeListeners(Port& port);
    void accepted(const std::shared_ptr<Port>& port, int listenFd);
    void connectUpstream(Waiting w);
    // A relay's client whose ssh end went before any answer: a run that dropped (it waits for the
    // next), or a target that refused (ssh stays up: it is closed).
    void handedBack(Waiting w);
    void enqueue(Waiting w);
    void settleHandedBack();
    void drain();
    void removeWaiting(std::deque<Waiting>::iterator it);
    void armWaitTimer();
    void expireWaiting();
    void noteUse();

    Callbacks m_callbacks;
    std::shared_ptr<void> m_keep;
    mutable std::mutex m_statsMutex;  // guards m_ports' list, which readers walk
    std::vector<std::shared_ptr<Port>> m_ports;
    std::deque<Waiting> m_waiting;
    std::vector<std::pair<Waiting, std::chrono::steady_clock::time_point>> m_handedBack;  // and since when
    std::uint64_t m_nextSeq = 0;
    std::map<SpliceRelay*, std::unique_ptr<SpliceRelay>> m_relays;
    std::atomic<bool> m_holding{false};
    std::atomic<size_t> m_waitingCount{0};
    std::atomic<bool> m_inUse{false};
    bool m_upstreamReady = false;
    bool m_waitTimerArmed = false;
    bool m_drainArmed = false;
};
