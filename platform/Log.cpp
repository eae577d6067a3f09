#include "Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {
std::mutex g_mutex;
Log::Sink g_sink;
}  // namespace

void Log::line(const std::string& message) {
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
