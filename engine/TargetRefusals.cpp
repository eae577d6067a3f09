#include "TargetRefusals.h"

#include <cstdio>
#include <ctime>
#include <string_view>

#include "UiText.h"

namespace {

// The channel number after "channel " at the start of the text (after "debug1: "), or -1.
int channelOf(std::string_view line, std::string_view* rest) {
    if (line.starts_with("debug1: ")) line.remove_prefix(8);
    if (!line.starts_with("channel ")) return -1;
    line.remove_prefix(8);
    int n = 0;
    size_t i = 0;
    for (; i < line.size() && i < 6 && line[i] >= '0' && line[i] <= '9'; ++i) n = n * 10 + (line[i] - '0');
    if (i == 0 || i >= line.size() || line[i] != ':') return -1;
    *rest = line.substr(i + 1);
    if (rest->starts_with(" ")) rest->remove_prefix(1);
    return n;
}

std::string clock(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&t, &local);
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &local);
    return out;
}

}  // namespace

TargetRefusals::Seen TargetRefusals::observe(const std::string& text, std::int64_t nowMs) {
    std::string_view rest;
    const int channel = channelOf(text, &rest);
    if (channel < 0) return Seen::Nothing;
    if (rest.starts_with("new dynamic-tcpip")) {
        m_socksChannels[channel] = true;
        return Seen::Nothing;
    }
    if (rest.starts_with("open failed: ")) {
        m_failedChannels[channel] = std::string(rest.substr(13, 200));
        return Seen::Nothing;
    }
    constexpr std::string_view kFree = "free: direct-tcpip: listening port ";
    if (!rest.starts_with(kFree)) return Seen::Nothing;
    rest.remove_prefix(kFree.size());
    // "P for HOST port HP, connect from ..."
    const size_t forAt = rest.find(" for ");
    const size_t portAt = forAt == std::string_view::npos ? forAt : rest.find(" port ", forAt + 5);
    const size_t endAt = portAt == std::string_view::npos ? portAt : rest.find(',', portAt);
    const auto failed = m_failedChannels.find(channel);
    const bool socks = m_socksChannels.erase(channel) > 0;
    std::string reason;
    if (failed != m_failedChannels.end()) {
        reason = failed->second;
        m_failedChannels.erase(failed);
    }
    if (endAt == std::string_view::npos) return Seen::Nothing;
    std::string port(rest.substr(0, forAt));
    // A Unix socket's port is -2: "..., connect from  port 0 to PATH port 0"
    if (constexpr std::string_view kTo = " to "; port == "-2") {
        const size_t toAt = rest.find(kTo, endAt);
        const size_t pathEnd = toAt == std::string_view::npos ? toAt : rest.rfind(" port ");
        if (pathEnd != std::string_view::npos && pathEnd > toAt)
            port = rest.substr(toAt + kTo.size(), pathEnd - toAt - kTo.size());
    }
    m_lastListening = port;
    if (const auto held = m_heldToPort.find(port); held != m_heldToPort.end()) port = held->second;
    m_lastPort = port;
    if (reason.empty()) return m_byPort.erase(port) ? Seen::Success : Seen::Nothing;
    const std::string host(rest.substr(forAt + 5, portAt - forAt - 5));
    const std::string hostPort(rest.substr(portAt + 6, endAt - portAt - 6));
    Refusal& r = m_byPort[port];
    const bool first = r.count == 0 || nowMs - r.lastMs > kQuietMs;
    if (first) r.count = 0;
    r.target = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + hostPort;
    if (reason.starts_with("connect failed: ")) reason.erase(0, 16);
    r.reason = reason;
    r.lastMs = nowMs;
    r.socks = socks;
    ++r.count;
    return first ? Seen::FirstFailure : Seen::Failure;
}

std::string TargetRefusals::sentence(const std::string& port, const Refusal& r) {
    // One template per form, so that a translation reads each whole.
    if (r.count == 1)
        return UiText::format(r.socks ? UI_TEXT("Port %1 (SOCKS): the target %2 refused a connection, last at %3 (%4)")
                                      : UI_TEXT("Port %1: the target %2 refused a connection, last at %3 (%4)"),
                              {port, r.target, clock(r.lastMs), r.reason});
    return UiText::format(r.socks ? UI_TEXT("Port %1 (SOCKS): the target %2 refused %3 connections, last at %4 (%5)")
                                  : UI_TEXT("Port %1: the target %2 refused %3 connections, last at %4 (%5)"),
                          {port, r.target, std::to_string(r.count), clock(r.lastMs), r.reason});
}

std::vector<std::string> TargetRefusals::warnings(std::int64_t nowMs) const {
    std::vector<std::string> out;
    for (const auto& [port, r] : m_byPort)
        if (nowMs - r.lastMs <= kQuietMs) out.push_back(sentence(port, r));
    return out;
}

std::string TargetRefusals::lastWarning(std::int64_t nowMs) const {
    const auto it = m_byPort.find(m_lastPort);
    return it == m_byPort.end() || nowMs - it->second.lastMs > kQuietMs ? std::string()
                                                                        : sentence(it->first, it->second);
}

void TargetRefusals::clear() {
    m_failedChannels.clear();
    m_socksChannels.clear();
    m_byPort.clear();
    m_lastPort.clear();
}
