#include "Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {
std::mutex g_mutex;
Log::Sink g_sink;
}  // namespace

namespace {
// Unicode's format characters (Cf) that can hide or reorder text, below U+10000.
bool isFormatCharacter(unsigned cp) {
    return cp == 0xAD || cp == 0x61C || cp == 0x180E || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2064) || (cp >= 0x2066 && cp <= 0x206F) ||
           cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB);
}
}  // namespace

std::string Log::escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char buf[16];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            const unsigned cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            if (isFormatCharacter(cp) || (cp >= 0x80 && cp < 0xA0)) {  // C1 controls too
                std::snprintf(buf, sizeof buf, "\\u{%04X}", cp);
                out += buf;
            } else {
                out.append(text, i, 2);
            }
            ++i;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            const unsigned cp = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            if (isFormatCharacter(cp)) {
                std::snprintf(buf, sizeof buf, "\\u{%04X}", cp);
                out += buf;
            } else {
                out.append(text, i, 3);
            }
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void Log::line(const std::string& raw) {
    const std::string message = escaped(raw);
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(message);
        return;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s.%03ld zandrel: %s\n", stamp, ts.tv_nsec / 1000000, message.c_str());
}

Log::Sink Log::setSink(Sink sink) {
    std::lock_guard lock(g_mutex);
    Sink old = std::move(g_sink);
    g_sink = std::move(sink);
    return old;
}

std::string Log::format(const std::string& fmt, const std::string& arg) {
    std::string out;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] == '%' && i + 1 < fmt.size() && fmt[i + 1] == '@') {
            out += arg;
            ++i;
        } else {
            out += fmt[i];
        }
    }
    return out;
}
