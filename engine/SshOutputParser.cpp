#include "SshOutputParser.h"

#include <array>
#include <string_view>

#include "UiText.h"

namespace {

bool contains(const std::string& s, std::string_view what) { return s.find(what) != std::string::npos; }

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

template <size_t N>
bool startsWithAny(std::string_view s, const std::array<std::string_view, N>& prefixes) {
    for (auto prefix : prefixes)
        if (startsWith(s, prefix)) return true;
    return false;
}

constexpr std::string_view kOldForward = "Connections to local port";
constexpr std::string_view kNewForward = "Local connections to ";

}  // namespace

bool SshOutputParser::holds(const std::string& line, Marker marker) {
    switch (marker) {
        case Marker::Connected:
            return contains(line, "Entering interactive session.");
        case Marker::Authenticated:
            return contains(line, "Authentication succeeded") || contains(line, "Authenticated to ");
        case Marker::PortForwarded:
            return contains(line, kOldForward) || (contains(line, kNewForward) && contains(line, " forwarded"));
        case Marker::ClosedByRemote:
            return contains(line, "closed by remote host.");
        case Marker::ForwardRepliesExpected:
            return contains(line, "ssh_init_forwarding: expecting replies for");
        case Marker::ForwardRepliesReceived:
            return contains(line, "all expected forwarding replies received");
        case Marker::JumpSession:
            return contains(line, "channel_connect_stdio_fwd: ");
    }
    return false;
}

std::optional<std::string> SshOutputParser::forwardedPort(const std::string& line) {
    auto at = line.find("Connections to local port ");
    if (at != std::string::npos) {
        size_t from = at + std::string_view("Connections to local port ").size();
        while (from < line.size() &&
               (line[from] == ' ' || line[from] == '\t' || line[from] == '\r' || line[from] == '\n'))
            ++from;
        auto to = line.find("forwarded", from);
        std::string port = line.substr(from, to == std::string::npos ? std::string::npos : to - from);
        if (port.find_first_not_of(" \t\r") == std::string::npos) return std::nullopt;
        return port;
    }
    at = line.find(kNewForward);
    if (at == std::string::npos) return std::nullopt;
    size_t from = at + kNewForward.size();
    auto to = line.find(" forwarded", from);
    if (to == std::string::npos) return std::nullopt;
    std::string address = line.substr(from, to - from);  // LOCALHOST:8143, [::1]:8143, or a socket path
    auto colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 >= address.size()) return std::nullopt;
    return address.substr(colon + 1);
}

std::optional<ForwardEntry> SshOutputParser::localForward(const std::string& line) {
    constexpr std::string_view kTo = " forwarded to remote address ";
    const auto at = line.find(kNewForward);
    const auto to = at == std::string::npos ? at : line.find(kTo, at);
    if (to == std::string::npos) return std::nullopt;
    // IPv6 addresses come unbracketed: the port follows the last colon.
    auto split = [](const std::string& address) {
        const auto colon = address.rfind(':');
        return colon == std::string::npos ? std::pair{address, std::string()}
                                          : std::pair{address.substr(0, colon), address.substr(colon + 1)};
    };
    auto [bind, port] = split(line.substr(at + kNewForward.size(), to - at - kNewForward.size()));
    const auto [host, hostport] = split(line.substr(to + kTo.size()));
    if (port.empty()) return std::nullopt;
    if (bind == "LOCALHOST") bind.clear();
    std::optional<ForwardEntry> entry(std::in_place);
    (*entry)["bind"] = bind;
    (*entry)["port"] = port;
    if (host == "socks" && hostport == "0") return entry;
    (*entry)["host"] = host;
    (*entry)["hostport"] = hostport;
    return entry;
}

std::optional<std::pair<std::string, int>> SshOutputParser::connectingTo(const std::string& line) {
    constexpr std::string_view kConnecting = "debug1: Connecting to ";
    if (!startsWith(line, kConnecting)) return std::nullopt;
    const auto open = line.find(" [", kConnecting.size());
    const auto close = open == std::string::npos ? open : line.find("] port ", open);
    if (close == std::string::npos) return std::nullopt;
    const std::string digits = line.substr(close + 7, line.find('.', close + 7) - close - 7);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::pair{line.substr(open + 2, close - open - 2), std::stoi(digits)};
}

bool SshOutputParser::isReportable(const std::string& line) {
    std::string_view s(line);
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.remove_suffix(1);
    // The lines after "usage:" continue it, indented.
    if (s.empty() || s.front() == ' ' || s.front() == '\t') return false;
    static constexpr std::array<std::string_view, 8> routine = {"debug",
                                                                "Authenticated to",
                                                                "Transferred:",
                                                                "Bytes per second:",
                                                                "Warning: Permanently added",
                                                                "OpenSSH_",
                                                                "Killed by signal",
                                                                "Authentication succeeded"};
    return !startsWithAny(s, routine);
}

bool SshOutputParser::isForwardFailure(const std::string& line) {
    return (startsWith(line, "bind ") && contains(line, "Address already in use")) ||
           contains(line, "remote port forwarding failed for listen port");
}

std::optional<int> SshOutputParser::busyPort(const std::string& line) {
    if (!startsWith(line, "bind ")) return std::nullopt;
    const auto end = line.find(": Address already in use");
    if (end == std::string::npos) return std::nullopt;
    const auto colon = line.rfind(':', end - 1);
    if (colon == std::string::npos || colon + 1 >= end) return std::nullopt;
    const std::string digits = line.substr(colon + 1, end - colon - 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoi(digits);
}

std::string SshOutputParser::reportText(const std::string& line) {
    if (startsWith(line, "usage: ")) return UI_TEXT("ssh refused its command line (see the log)");
    auto at = line.find(": Permission denied");
    if (at == std::string::npos) return line;
    const std::string login = line.substr(0, at);
    if (login.find('@') == std::string::npos || login.find(' ') != std::string::npos) return line;
    return line.substr(at + 2);
}

bool SshOutputParser::isPerConnection(const std::string& line) {
    std::string_view s(line);
    if (startsWith(s, "debug")) {
        const auto colon = s.find(": ");
        if (colon == std::string_view::npos || colon > 6) return false;
        s.remove_prefix(colon + 2);
    }
    if (startsWith(s, "channel ")) {
        const auto digits = s.find_first_not_of("0123456789", 8);
        if (digits == 8 || digits == std::string_view::npos || s.substr(digits, 2) != ": ") return false;
        // Listeners and the session channel belong to the login, not to a connection.
        const std::string_view rest = s.substr(digits + 2);
        for (std::string_view own : {"listen", "session", "mux"})
            if (rest.find(own) != std::string_view::npos && !startsWith(rest, "free: direct-")) return false;
        return true;
    }
    static constexpr std::array<std::string_view, 7> starts = {"client_input_channel_open: ",
                                                               "client_request_forwarded_",
                                                               "confirm forwarded-",
                                                               "connect_next: ",
                                                               "connect_to ",
                                                               "Connection to port ",
                                                               "X11 connection requested."};
    return startsWithAny(s, starts);
}
