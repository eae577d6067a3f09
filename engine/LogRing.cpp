#include "LogRing.h"

#include <algorithm>
#include <cstring>

LogRing::LogRing(size_t maxBytes, size_t maxLines)
    : m_maxBytes(std::max(maxBytes, kHeader + kLineMax)), m_maxLines(std::max<size_t>(maxLines, 1)) {}

void LogRing::read(size_t pos, void* out, size_t n) const {
    const size_t first = std::min(n, m_buf.size() - pos);
    std::memcpy(out, m_buf.data() + pos, first);
    std::memcpy(static_cast<char*>(out) + first, m_buf.data(), n - first);
}

void LogRing::write(size_t pos, const void* in, size_t n) {
    const size_t first = std::min(n, m_buf.size() - pos);
    std::memcpy(m_buf.data() + pos, in, first);
    std::memcpy(m_buf.data(), static_cast<const char*>(in) + first, n - first);
}

unsigned long long LogRing::popOldest() {
    unsigned long long seq = 0;
    std::uint16_t len = 0;
    read(m_head, &seq, sizeof seq);
    read((m_head + 16) % m_buf.size(), &len, sizeof len);
    m_head = (m_head + kHeader + len) % m_buf.size();
    m_used -= kHeader + len;
    --m_count;
    return seq;
}

void LogRing::grow(size_t need) {
    // Doubling, so a quiet tunnel holds little and a busy one reaches its budget in a few copies.
    const size_t size = std::min(m_maxBytes, std::max({need, m_buf.size() * 2, size_t{2048}}));
    std::vector<char> bigger;
    bigger.reserve(size);
    bigger.resize(size);
    if (m_used > 0) read(m_head, bigger.data(), m_used);
    m_buf.swap(bigger);
    m_head = 0;
}

size_t LogRing::push(unsigned long long seq, std::int64_t ms, std::string_view text, unsigned long long* lastOut) {
    text = text.substr(0, kLineMax);
    const size_t need = kHeader + text.size();
    if (m_used + need > m_buf.size() && m_buf.size() < m_maxBytes) grow(m_used + need);
    size_t out = 0;
    while (m_count > 0 && (m_used + need > m_buf.size() || m_count >= m_maxLines)) {
        *lastOut = popOldest();
        ++out;
    }
    const auto len = static_cast<std::uint16_t>(text.size());
    char header[kHeader];
    std::memcpy(header, &seq, 8);
    std::memcpy(header + 8, &ms, 8);
    std::memcpy(header + 16, &len, 2);
    const size_t at = (m_head + m_used) % m_buf.size();
    write(at, header, kHeader);
    write((at + kHeader) % m_buf.size(), text.data(), text.size());
    m_used += need;
    ++m_count;
    return out;
}

std::vector<LogRing::Entry> LogRing::entries() const {
    std::vector<Entry> out;
    out.reserve(m_count);
    size_t pos = m_head;
    for (size_t i = 0; i < m_count; ++i) {
        Entry e;
        std::uint16_t len = 0;
        read(pos, &e.seq, 8);
        read((pos + 8) % m_buf.size(), &e.ms, 8);
        read((pos + 16) % m_buf.size(), &len, 2);
        e.text.resize(len);
        read((pos + kHeader) % m_buf.size(), e.text.data(), len);
        pos = (pos + kHeader + len) % m_buf.size();
        out.push_back(std::move(e));
    }
    return out;
}
