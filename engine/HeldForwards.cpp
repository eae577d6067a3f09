#include "HeldForwards.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "PortOwner.h"
#include "TunnelDriver.h"
#include "UiText.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kBacklogPause{5};  // ssh's socket backlog is full: try again

// The addresses a bind setting stands for: none given is loopback, as ssh has it.
std::vector<std::pair<int, std::string>> addressesFor(std::string bind) {
    if (bind.starts_with('[') && bind.ends_with(']')) bind = bind.substr(1, bind.size() - 2);
    if (bind.empty() || bind == "localhost") return {{AF_INET, "127.0.0.1"}, {AF_INET6, "::1"}};
    if (bind == "*") return {{AF_INET, "0.0.0.0"}, {AF_INET6, "::"}};
    std::vector<std::pair<int, std::string>> out;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(bind.c_str(), nullptr, &hints, &found) != 0) return out;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = a->ai_family == AF_INET
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && inet_ntop(a->ai_family, raw, text, sizeof text)) {
            std::pair<int, std::string> entry{a->ai_family, text};
            if (std::find(out.begin(), out.end(), entry) == out.end()) out.push_back(entry);
        }
    }
    freeaddrinfo(found);
    return out;
}

// A listening socket, or -1 with errno.
int listenOn(int family, const std::string& address, int port) {
    sockaddr_storage storage{};
    socklen_t size;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &in->sin_addr);
        size = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
        size = sizeof *in6;
    }
    const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool processAlive(const std::string& pid) {
    return pid.find_first_not_of("0123456789") == std::string::npos && !pid.empty() &&
           std::filesystem::exists("/proc/" + pid);
}

}  // namespace

HeldForwards::~HeldForwards() { release(); }

std::string HeldForwards::listen(Port& port, const std::function<void(int)>& onAccept) {
    const HeldForward& f = port.forward;
    const auto addresses = addressesFor(f.bind);
    if (addresses.empty())
        return UiText::format(UI_TEXT("Port %1: the address %2 is not one of this computer's"),
                              {std::to_string(f.port), f.bind});
    TunnelDriver& driver = TunnelDriver::instance();
    for (const auto& [family, address] : addresses) {
        const int fd = listenOn(family, address, f.port);
        if (fd < 0) {
            const int error = errno;
            // A computer without IPv6 still has its IPv4 loopback.
            if (family == AF_INET6 && (error == EADDRNOTAVAIL || error == EAFNOSUPPORT) && addresses.size() > 1)
                continue;
            closeListeners(port);
            if (error == EADDRINUSE) {
                std::string why = UiText::format(UI_TEXT("Port %1 is already in use"), {std::to_string(f.port)});
                if (std::string owner = PortOwner::describe(f.port); !owner.empty())
                    why = UiText::format(UI_TEXT("%1 (%2)"), {why, owner});
                return why;
            }
            return UiText::format(UI_TEXT("Cannot listen on %1 port %2: %3"),
                                  {address, std::to_string(f.port), std::strerror(error)});
        }
        const std::uint64_t id = driver.addDescriptor(fd, EPOLLIN, [fd, onAccept](std::uint32_t) { onAccept(fd); });
        port.listeners.push_back({fd, id});
    }
    return {};
}

void HeldForwards::closeListeners(Port& port) {
    for (const Listener& l : port.listeners) {
        if (l.id) TunnelDriver::instance().removeDescriptor(l.id, l.fd);
        ::close(l.fd);
    }
    port.listeners.clear();
}

std::string HeldForwards::hold(const std::vector<HeldForward>& forwards, std::shared_ptr<void> keep) {
    // Ports that stay keep their listeners; the others are closed before new ones listen, so
    // that a forward moved to another port can take one that a removed forward had.
    std::vector<std::shared_ptr<Port>> kept, gone;
    for (const auto& port : m_ports)
        (std::find(forwards.begin(), forwards.end(), port->forward) != forwards.end() ? kept : gone).push_back(port);
    for (const auto& port : gone) closeListeners(*port);
    std::vector<std::shared_ptr<Port>> ports;
    std::string error;
    for (const HeldForward& f : forwards) {
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const auto& p) { return p->forward == f; });
        if (same != kept.end()) {
            ports.push_back(*same);
            continue;
        }
        auto port = std::make_shared<Port>();
        port->forward = f;
        std::weak_ptr<HeldForwards> weak = weak_from_this();
        std::weak_ptr<Port> weakPort = port;
        error = listen(*port, [weak, weakPort](int fd) {
            if (auto self = weak.lock())
                if (auto p = weakPort.lock()) self->accepted(p, fd);
        });
        if (!error.empty()) break;
        ports.push_back(port);
    }
    {
        std::lock_guard lock(m_statsMutex);
        m_ports = ports;
    }
    if (!error.empty()) {
        release();
        return error;
    }
    // Connections of a forward that went wait no more, and those it carried end.
    for (auto it = m_waiting.begin(); it != m_waiting.end();)
        if (std::find(ports.begin(), ports.end(), it->port) == ports.end()) {
            removeWaiting(it);
            it = m_waiting.begin();
        } else {
            ++it;
        }
    m_keep = std::move(keep);
    m_holding = true;
    return {};
}

void HeldForwards::release() {
    for (const auto& port : m_ports) closeListeners(*port);
    while (!m_waiting.empty()) removeWaiting(m_waiting.begin());
    for (auto& [w, since] : m_handedBack) ::close(w.fd);
    m_handedBack.clear();
    auto relays = std::move(m_relays);
    m_relays.clear();
    for (auto& [raw, relay] : relays) relay->close();
    relays.clear();
    {
        std::lock_guard lock(m_statsMutex);
        m_ports.clear();
    }
    m_upstreamReady = false;
    m_holding = false;
    noteUse();
    m_keep.reset();  // last: it may hold this object's owner
}

void HeldForwards::accepted(const std::shared_ptr<Port>& port, int listenFd) {
    for (int i = 0; i < 64; ++i) {  // then other descriptors get their turn
        const int client = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) return;
        // As ssh does with the connections it forwards: what comes in small goes out at once.
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Waiting w{client, 0, port, Clock::now() + kWait, m_nextSeq++, {}, false};
        if (m_upstreamReady && m_waiting.empty()) {
            connectUpstream(std::move(w));
            continue;
        }
        if (m_waiting.size() >= kMaxWaiting) {
            ::close(client);
            continue;
        }
        enqueue(std::move(w));
        if (m_upstreamReady) {
            drain();
        } else if (m_callbacks.demand) {
            m_callbacks.demand();
        }
    }
}

void HeldForwards::enqueue(Waiting w) {
    // A client that gives up while it waits is closed at once.
    std::weak_ptr<HeldForwards> weak = weak_from_this();
    const int client = w.fd;
    w.id = TunnelDriver::instance().addDescriptor(client, EPOLLRDHUP, [weak, client](std::uint32_t) {
        auto self = weak.lock();
        if (!self) return;
        const auto it = std::find_if(self->m_waiting.begin(), self->m_waiting.end(),
                                     [client](const Waiting& x) { return x.fd == client; });
        if (it != self->m_waiting.end()) self->removeWaiting(it);
    });
    const auto at = std::upper_bound(m_waiting.begin(), m_waiting.end(), w.seq,
                                     [](std::uint64_t seq, const Waiting& x) { return seq < x.seq; });
    m_waiting.insert(at, std::move(w));
    m_waitingCount = m_waiting.size();
    noteUse();
    armWaitTimer();
}

void HeldForwards::connectUpstream(Waiting w) {
    const HeldForward& f = w.port->forward;
    int fd;
    bool connecting = false;
    if (!f.upstreamPath.empty()) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, f.upstreamPath.c_str(), sizeof address.sun_path - 1);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            fd = -1;
            errno = error;
        }
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(f.upstreamPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            connecting = errno == EINPROGRESS;
            if (!connecting) {
                const int error = errno;
                ::close(fd);
                fd = -1;
                errno = error;
            }
        }
    }
    if (fd < 0) {
        // ssh's backlog is full, or its end has just gone: the client waits, in its place.
        if (errno == EAGAIN || errno == ECONNREFUSED || errno == ENOENT) {
            const bool busy = errno == EAGAIN;
            w.id = 0;
            enqueue(std::move(w));
            if (busy && !m_drainArmed) {
                m_drainArmed = true;
                std::weak_ptr<HeldForwards> weak = weak_from_this();
                TunnelDriver::instance().scheduleCall(Clock::now() + kBacklogPause, [weak] {
                    if (auto self = weak.lock()) {
                        self->m_drainArmed = false;
                        self->drain();
                    }
                });
            } else if (!busy) {
                m_upstreamReady = false;  // until the run says its ssh is up again
            }
            return;
        }
        ::close(w.fd);
        return;
    }
    std::weak_ptr<HeldForwards> weak = weak_from_this();
    auto port = w.port;
    const std::uint64_t seq = w.seq;
    auto relay = std::make_unique<SpliceRelay>(
        w.fd, fd, connecting, std::move(w.sent), !w.counted, port->counters,
        [weak, port, seq](SpliceRelay* done, int client, std::string sent) {
            auto self = weak.lock();
            if (!self) {
                if (client >= 0) ::close(client);
                return;
            }
            // Not from within its own call stack: the loop lets it go after this round.
            if (const auto it = self->m_relays.find(done); it != self->m_relays.end()) {
                std::shared_ptr<SpliceRelay> last(std::move(it->second));
                self->m_relays.erase(it);
                TunnelDriver::instance().post([last] {});
            }
            if (client >= 0) self->handedBack({client, 0, port, Clock::now() + kWait, seq, std::move(sent), true});
            self->noteUse();
        });
    SpliceRelay* raw = relay.get();
    m_relays.emplace(raw, std::move(relay));
    noteUse();
    raw->start();  // on failure it has ended and is gone
}

void HeldForwards::handedBack(Waiting w) {
    if (!m_holding) {
        ::close(w.fd);
        return;
    }
    if (!m_upstreamReady) {
        enqueue(std::move(w));
        return;
    }
    m_handedBack.emplace_back(std::move(w), Clock::now());
    std::weak_ptr<HeldForwards> weak = weak_from_this();
    TunnelDriver::instance().scheduleCall(Clock::now() + kDropGrace, [weak] {
        if (auto self = weak.lock()) self->settleHandedBack();
    });
}

void HeldForwards::settleHandedBack() {
    // ssh still up all this time: the target itself closed the connection.
    const auto now = Clock::now();
    std::erase_if(m_handedBack, [now](auto& entry) {
        if (now - entry.second < kDropGrace) return false;
        ::close(entry.first.fd);
        return true;
    });
    noteUse();
}

void HeldForwards::drain() {
    while (m_upstreamReady && !m_waiting.empty() && !m_drainArmed) {
        Waiting w = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_waitingCount = m_waiting.size();
        if (w.id) TunnelDriver::instance().removeDescriptor(w.id, w.fd);
        connectUpstream(std::move(w));
    }
    noteUse();
}

void HeldForwards::removeWaiting(std::deque<Waiting>::iterator it) {
    if (it->id) TunnelDriver::instance().removeDescriptor(it->id, it->fd);
    ::close(it->fd);
    m_waiting.erase(it);
    m_waitingCount = m_waiting.size();
    noteUse();
}

void HeldForwards::closeWaiting() {
    while (!m_waiting.empty()) removeWaiting(m_waiting.begin());
}

void HeldForwards::setUpstreamReady(bool ready) {
    m_upstreamReady = ready && m_holding;
    if (!m_upstreamReady) {
        // Their run dropped: they wait for the next.
        auto handedBack = std::move(m_handedBack);
        m_handedBack.clear();
        for (auto& [w, since] : handedBack) enqueue(std::move(w));
    }
    if (m_upstreamReady) drain();
}

void HeldForwards::armWaitTimer() {
    if (m_waitTimerArmed || m_waiting.empty()) return;
    m_waitTimerArmed = true;
    std::weak_ptr<HeldForwards> weak = weak_from_this();
    TunnelDriver::instance().scheduleCall(m_waiting.front().until, [weak] {
        if (auto self = weak.lock()) self->expireWaiting();
    });
}

void HeldForwards::expireWaiting() {
    m_waitTimerArmed = false;
    const auto now = Clock::now();
    // The oldest wait first: the queue is in the order of arrival (a backlog retry aside).
    for (auto it = m_waiting.begin(); it != m_waiting.end();)
        if (it->until <= now) {
            removeWaiting(it);
            it = m_waiting.begin();
        } else {
            ++it;
        }
    if (!m_waiting.empty()) {
        auto earliest = std::min_element(m_waiting.begin(), m_waiting.end(),
                                         [](const Waiting& a, const Waiting& b) { return a.until < b.until; });
        m_waitTimerArmed = true;
        std::weak_ptr<HeldForwards> weak = weak_from_this();
        TunnelDriver::instance().scheduleCall(earliest->until, [weak] {
            if (auto self = weak.lock()) self->expireWaiting();
        });
    }
}

void HeldForwards::countRefused(const std::string& upstream) {
    for (const auto& port : m_ports)
        if (port->forward.upstreamPath == upstream ||
            (port->forward.upstreamPort && std::to_string(port->forward.upstreamPort) == upstream)) {
            ++port->counters->refused;
            // Its client need not wait for the grace: ssh said so.
            const auto it = std::find_if(m_handedBack.begin(), m_handedBack.end(),
                                         [&port](const auto& entry) { return entry.first.port == port; });
            if (it != m_handedBack.end()) {
                ::close(it->first.fd);
                m_handedBack.erase(it);
                noteUse();
            }
        }
}

void HeldForwards::noteUse() {
    const bool now = !m_waiting.empty() || !m_relays.empty() || !m_handedBack.empty();
    if (now == m_inUse.exchange(now)) return;
    if (m_holding && m_callbacks.inUse) m_callbacks.inUse(now);
}

std::vector<ForwardStats> HeldForwards::stats() const {
    std::lock_guard lock(m_statsMutex);
    std::vector<ForwardStats> out;
    for (const auto& port : m_ports) {
        const RelayCounters& c = *port->counters;
        out.push_back({port->forward.listen, port->forward.target, c.toTarget.load(), c.fromTarget.load(),
                       c.open.load(), c.total.load(), c.refused.load()});
    }
    return out;
}

namespace {
std::mutex g_folderMutex;
std::string g_folder;
}  // namespace

void HeldForwards::removeSocketFolder() {
    std::lock_guard lock(g_folderMutex);
    if (g_folder.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    g_folder.clear();
}

std::string HeldForwards::socketFolder() {
    std::lock_guard lock(g_folderMutex);
    std::string& folder = g_folder;
    if (!folder.empty()) return folder;
    std::string base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        base = std::string(runtime) + "/zandrel";
    else
        base = "/tmp/zandrel-" + std::to_string(getuid());
    mkdir(base.c_str(), 0700);
    struct stat st {};
    if (lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
    chmod(base.c_str(), 0700);
    // Those of a Zandrel that was killed: nothing listens on their sockets any more.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(base, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("held-") && !processAlive(name.substr(5)))
            std::filesystem::remove_all(entry.path(), ignored);
    }
    const std::string mine = base + "/held-" + std::to_string(getpid());
    std::filesystem::remove_all(mine, ignored);
    if (mkdir(mine.c_str(), 0700) != 0) return {};
    folder = mine;
    return folder;
}

int HeldForwards::freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}
