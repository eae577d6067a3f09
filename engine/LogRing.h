#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The newest lines that fit in a byte budget, each with its arrival number and time, kept in one
// buffer (a header and the text per line), so a line costs its length plus 18 bytes and no
// allocation of its own. The buffer grows to the budget as lines come, then wraps. Not locked.
class LogRing {
public:
    struct Entry {
        unsigned long long seq;
        std::int64_t ms;  // since the epoch
        std::string text;
    };
    static constexpr size_t kHeader = 18;
    // A line longer than that is cut to it.
    static constexpr size_t kLineMax = 1024;

    LogRing(size_t maxBytes, size_t maxLines);

    // Pushes out the oldest lines until this one fits; how many went, the last one's seq in *lastOut.
    size_t push(unsigned long long seq, std::int64_t ms, std::string_view text, unsigned long long* lastOut);
    std::vector<Entry> entries() const;
    size_t size() const { return m_count; }
    // The bytes held, used or not.
    size_t capacity() const { return m_buf.capacity(); }

private:
    void read(size_t pos, void* out, size_t n) const;
    void write(size_t pos, const void* in, size_t n);
    unsigned long long popOldest();
    void grow(size_t need);

    size_t m_maxBytes;
    size_t m_maxLines;
    std::vector<char> m_buf;
    size_t m_head = 0;
    size_t m_used = 0;
    size_t m_count = 0;
};
