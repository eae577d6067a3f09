#include "TunnelLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "SshOutputParser.h"

namespace {

// Stamps formatted together, each second's local time looked up once.
class Stamper {
public:
    std::string operator()(std::int64_t ms) {
        const std::time_t t = static_cast<std::time_t>(ms / 1000);
        if (t != m_second || !m_valid) {
            localtime_r(&t, &m_tm);
            m_second = t;
            m_valid = true;
        }
        char out[32];
        std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03d ", m_tm.tm_hour, m_tm.tm_min, m_tm.tm_sec,
                      static_cast<int>(ms % 1000));
        return out;
    }

private:
    std::time_t m_second = 0;
    bool m_valid = false;
    std::tm m_tm{};
};

std::string withSeparators(unsigned long long n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// A line too long for the ring is cut at a character boundary, marked as cut.
std::string_view fitted(const std::string& line, std::string& cut) {
    if (line.size() <= LogRing::kLineMax) return line;
    constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
    size_t end = LogRing::kLineMax - kEllipsis.size();
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    cut.assign(line, 0, end);
    cut += kEllipsis;
    return cut;
}

}  // namespace

void TunnelLog::append(const std::string& line) { append(line, SshOutputParser::isPerConnection(line)); }

void TunnelLog::append(const std::string& line, bool perConnection) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::string cut;
    const std::string_view text = fitted(line, cut);
    std::lock_guard lock(m_mutex);
    unsigned long long unused = 0;
    if (perConnection)
        m_connectionsDropped += m_connections.push(m_total, ms, text, &m_lastDropped);
    else
        m_rest.push(m_total, ms, text, &unused);
    ++m_total;
}

std::vector<std::string> TunnelLog::lines() const {
    std::vector<LogRing::Entry> rest, connections;
    unsigned long long dropped = 0, lastDropped = 0;
    {
        std::lock_guard lock(m_mutex);
        rest = m_rest.entries();
        connections = m_connections.entries();
        dropped = m_connectionsDropped;
        lastDropped = m_lastDropped;
    }
    std::vector<std::string> out;
    out.reserve(rest.size() + connections.size() + 1);
    const auto fold = [dropped] { return "\xE2\x80\xA6 " + withSeparators(dropped) + " connection lines not kept"; };
    Stamper stamp;
    bool folded = dropped == 0;
    auto r = rest.begin();
    auto c = connections.begin();
    while (r != rest.end() || c != connections.end()) {
        const bool fromRest = c == connections.end() || (r != rest.end() && r->seq < c->seq);
        const LogRing::Entry& e = fromRest ? *r++ : *c++;
        if (!folded && e.seq > lastDropped) {
            out.push_back(fold());
            folded = true;
        }
        out.push_back(stamp(e.ms) + e.text);
    }
    if (!folded) out.push_back(fold());
    return out;
}

unsigned long long TunnelLog::total() const {
    std::lock_guard lock(m_mutex);
    return m_total;
}

size_t TunnelLog::memoryUsed() const {
    std::lock_guard lock(m_mutex);
    return sizeof(*this) + m_rest.capacity() + m_connections.capacity();
}
