#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Byte and connection counts of one held port, read from any thread.
struct RelayCounters {
    std::atomic<std::uint64_t> toTarget{0};
    std::atomic<std::uint64_t> fromTarget{0};
    std::atomic<unsigned> open{0};
    std::atomic<unsigned> total{0};
    std::atomic<unsigned> refused{0};
};

// Carries one accepted connection to ssh's end of its forward and back, through a pipe each way
// with splice(), so the bytes never enter this process. Until the target has said anything, what
// the client sends is also kept (up to kReplayLimit): when ssh's end goes away before an answer
// (its run dropped), the client is handed back with those bytes, to go through the next run.
// On the engine's loop only.
class SpliceRelay {
public:
    static constexpr size_t kReplayLimit = 64 * 1024;

    // Called once at the end: client is -1 when the relay closed it, else the client's socket
    // handed back with what it had sent.
    using Done = std::function<void(SpliceRelay*, int client, std::string sent)>;
    // upstreamConnecting: the connect to ssh's end is still in progress (a TCP port). sent: what
    // the client sent through an earlier run, sent again first. isNew: it counts as a connection.
    SpliceRelay(int client, int upstream, bool upstreamConnecting, std::string sent, bool isNew,
                std::shared_ptr<RelayCounters> counters, Done done);
    ~SpliceRelay();
    SpliceRelay(const SpliceRelay&) = delete;
    SpliceRelay& operator=(const SpliceRelay&) = delete;

    // False when its pipes or its registration with the loop could not be made (it has ended).
    bool start();
    // Ends it, closing both sides.
    void close() { finish(false); }

private:
    struct Direction {
        int from = -1, to = -1;
        int pipe[2] = {-1, -1};
        size_t inPipe = 0;
        size_t capacity = 1 << 16;  // the pipe's; grown once for a bulk transfer
        bool grown = false;
        bool ended = false;     // from has reached its end
        bool shutDown = false;  // and to has been told
    };
    void onEvents(std::uint32_t events);
    // Moves what it can; false on an error that ends the connection (upstreamFailed when on ssh's side).
    bool pump(Direction& d, std::atomic<std::uint64_t>& count);
    // Client → target while the target has not answered: copied, and kept.
    bool pumpKept();
    void finish(bool handBack);

    int m_client, m_upstream;
    bool m_connecting;
    Direction m_up, m_down;  // client → target, target → client
    std::string m_sent;      // what the client sent before any answer, while it may be sent again
    std::string m_outbox;    // of it, not yet written to ssh's end
    bool m_keeping = true;   // m_sent is whole
    bool m_answered = false;
    bool m_upstreamFailed = false;
    std::uint64_t m_counted = 0;  // bytes counted to the target by this relay
    std::uint64_t m_clientId = 0, m_upstreamId = 0;
    std::shared_ptr<RelayCounters> m_counters;
    Done m_done;
};
