#include "SpliceRelay.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "TunnelDriver.h"

namespace {
// A pipe filled at once carries a bulk transfer: a larger one halves the calls per byte. Only
// then, since the user's pipes share a quota.
constexpr int kBulkPipe = 1 << 20;
constexpr std::uint32_t kEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
bool wouldBlock() { return errno == EAGAIN || errno == EINTR; }
}  // namespace

SpliceRelay::SpliceRelay(int client, int upstream, bool upstreamConnecting, std::string sent, bool isNew,
                         std::shared_ptr<RelayCounters> counters, Done done)
    : m_client(client),
      m_upstream(upstream),
      m_connecting(upstreamConnecting),
      m_sent(sent),
      m_outbox(std::move(sent)),
      m_counters(std::move(counters)),
      m_done(std::move(done)) {
    m_up.from = m_down.to = client;
    m_up.to = m_down.from = upstream;
    ++m_counters->open;
    if (isNew) ++m_counters->total;
}

SpliceRelay::~SpliceRelay() { finish(false); }

bool SpliceRelay::start() {
    TunnelDriver& driver = TunnelDriver::instance();
    if (pipe2(m_up.pipe, O_NONBLOCK | O_CLOEXEC) != 0 || pipe2(m_down.pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        close();
        return false;
    }
    auto handler = [this](std::uint32_t events) { onEvents(events); };
    m_clientId = driver.addDescriptor(m_client, kEvents, handler);
    m_upstreamId = driver.addDescriptor(m_upstream, kEvents, handler);
    if (!m_clientId || !m_upstreamId) {
        close();
        return false;
    }
    return true;
}

void SpliceRelay::finish(bool handBack) {
    if (m_upstream < 0) return;
    TunnelDriver& driver = TunnelDriver::instance();
    if (m_clientId) driver.removeDescriptor(m_clientId, m_client);
    if (m_upstreamId) driver.removeDescriptor(m_upstreamId, m_upstream);
    closeFd(m_upstream);
    for (Direction* d : {&m_up, &m_down}) {
        closeFd(d->pipe[0]);
        closeFd(d->pipe[1]);
    }
    int client = -1;
    if (handBack) {
        client = m_client;  // its bytes go again, and count once
        m_client = -1;
        m_counters->toTarget -= m_counted;
    }
    closeFd(m_client);
    --m_counters->open;
    if (auto done = std::move(m_done))
        done(this, client, handBack ? std::move(m_sent) : std::string());  // may delete this
}

bool SpliceRelay::pump(Direction& d, std::atomic<std::uint64_t>& count) {
    const bool toClient = &d == &m_down;
    for (;;) {
        if (d.inPipe > 0) {
            const ssize_t n = splice(d.pipe[0], nullptr, d.to, nullptr, d.inPipe, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n < 0) {
                if (!toClient && !wouldBlock()) m_upstreamFailed = true;
                return wouldBlock();
            }
            d.inPipe -= static_cast<size_t>(n);
            count.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
            if (!toClient) m_counted += static_cast<std::uint64_t>(n);
            continue;
        }
        if (d.ended) {
            if (!d.shutDown) {
                shutdown(d.to, SHUT_WR);
                d.shutDown = true;
            }
            return true;
        }
        const ssize_t n = splice(d.from, nullptr, d.pipe[1], nullptr, d.capacity, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0 && static_cast<size_t>(n) == d.capacity && !d.grown) {
            d.grown = true;
            if (const int size = fcntl(d.pipe[1], F_SETPIPE_SZ, kBulkPipe); size > 0)
                d.capacity = static_cast<size_t>(size);
        }
        if (n == 0) {
            d.ended = true;
            if (toClient && !m_answered) m_upstreamFailed = true;  // ssh's end went before any answer
        } else if (n < 0) {
            if (toClient && !wouldBlock()) m_upstreamFailed = true;
            return wouldBlock();
        } else {
            d.inPipe += static_cast<size_t>(n);
            if (toClient && !m_answered) {
                m_answered = true;
                m_sent = std::string();  // nothing will be sent again
            }
        }
    }
}

bool SpliceRelay::pumpKept() {
    char buffer[16 * 1024];
    for (;;) {
        if (!m_outbox.empty()) {
            const ssize_t n = ::write(m_upstream, m_outbox.data(), m_outbox.size());
            if (n < 0) {
                if (!wouldBlock()) m_upstreamFailed = true;
                return wouldBlock();
            }
            m_outbox.erase(0, static_cast<size_t>(n));
            m_counters->toTarget += static_cast<std::uint64_t>(n);
            m_counted += static_cast<std::uint64_t>(n);
            continue;
        }
        // Answered, or too much to keep: on with splice().
        if (m_answered || !m_keeping || m_up.ended) return true;
        const ssize_t n = ::read(m_client, buffer, sizeof buffer);
        if (n == 0) {
            m_up.ended = true;
        } else if (n < 0) {
            return wouldBlock();
        } else {
            m_outbox.append(buffer, static_cast<size_t>(n));
            m_sent.append(buffer, static_cast<size_t>(n));
            if (m_sent.size() > kReplayLimit) {
                m_keeping = false;
                m_sent = std::string();
            }
        }
    }
}

void SpliceRelay::onEvents(std::uint32_t events) {
    if (m_connecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(m_upstream, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            m_upstreamFailed = true;
            finish(m_keeping && !m_answered);
            return;
        }
        m_connecting = false;
    }
    // Edge-triggered: each side is moved until it would block. The answer first, so that what the
    // client sends after it goes by splice().
    bool ok = pump(m_down, m_counters->fromTarget);
    if (ok) ok = pumpKept();
    if (ok && m_outbox.empty() && (m_answered || !m_keeping || m_up.ended)) ok = pump(m_up, m_counters->toTarget);
    if (!ok || (m_up.shutDown && m_down.shutDown) || (m_upstreamFailed && !m_answered))
        finish(m_upstreamFailed && !m_answered && m_keeping);
}
