#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace testsupport {

// A TCP echo server on 127.0.0.1 (a free port), served by one thread with poll(): everything a
// client sends comes back on the same connection. At most 64 clients at a time.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();  // stop()
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    bool start();  // false when no socket could be bound
    void stop();   // closes every connection and joins the thread
    int port() const { return m_port; }
    // Connections accepted since start().
    int connectionsAccepted() const { return m_accepted.load(); }

    // Connects to 127.0.0.1:port, sends bytes and reads until as many bytes came back, the peer
    // closed or timeoutMs passed in all. Returns what came back, "" when nothing did or the
    // connection failed.
    static std::string roundTrip(int port, const std::string& bytes, int timeoutMs) {
        return roundTrip("127.0.0.1", port, bytes, timeoutMs);
    }
    // The same to another IPv4 loopback address (127.0.0.3).
    static std::string roundTrip(const std::string& address, int port, const std::string& bytes, int timeoutMs);

private:
    void serve();

    int m_listenFd = -1;
    int m_wakeFd = -1;  // eventfd: stop() wakes the poll
    int m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

}  // namespace testsupport
