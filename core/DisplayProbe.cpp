#include "DisplayProbe.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>

#include "ChildProcess.h"

namespace {
constexpr size_t kMaxOutput = 8192;
}

std::string DisplayProbe::reasonFrom(const std::string& output) {
    // Qt says first what failed (the plugin not found, the display not reached, libwayland's own
    // words), then a line common to every cause, kept only when there is nothing else.
    constexpr size_t kMaxLines = 3;
    std::vector<std::string> lines;
    std::string common;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '.')) line.pop_back();
        if (line.empty() || line.starts_with("QStandardPaths: ")) continue;
        if (line.starts_with("This application failed to start"))
            common = line;
        else if (lines.size() < kMaxLines)
            lines.push_back(line);
    }
    if (lines.empty()) return common;
    std::string reason;
    for (const std::string& line : lines) reason += (reason.empty() ? "" : "; ") + line;
    return reason;
}

DisplayProbe::Result DisplayProbe::run(const std::string& program, const std::vector<std::string>& args,
                                       std::chrono::milliseconds timeout) {
    const std::string set = std::string(kVariable) + "=";
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (!std::string_view(*e).starts_with(set)) env.emplace_back(*e);
    env.push_back(set + "1");
    Result result;
    std::string output;
    auto child = ChildProcess::launch(program, args, env, &output);
    if (!child) {
        result.reason = "cannot start the desktop part " + program + ": " + output;
        return result;
    }
    auto keep = [&output](const char* data, size_t size) {
        output.append(data, std::min(size, kMaxOutput - std::min(kMaxOutput, output.size())));
        return true;
    };
    switch (child->waitUntil(std::chrono::steady_clock::now() + timeout, keep)) {
        case ChildProcess::Waited::Exited:
        case ChildProcess::Waited::Stopped:
            break;
        case ChildProcess::Waited::TimedOut:
            child->kill();
            child->finish();
            result.reason = "the display did not answer within ";
            result.reason += std::to_string(timeout.count()) + " ms";
            return result;
        case ChildProcess::Waited::Failed:
            result.reason = std::string("cannot wait for the desktop part: ") + std::strerror(errno);
            child->kill();
            child->finish();
            return result;
    }
    const int status = child->finish();
    result.opened = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (result.opened) return result;
    result.reason = reasonFrom(output);
    if (result.reason.empty()) {
        result.reason =
            WIFSIGNALED(status) ? "the desktop part ended by signal " : "the desktop part ended with status ";
        result.reason += std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
    return result;
}
