#include "ChildProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

namespace {

int pidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<char*> cStrings(const std::vector<std::string>& v) {
    std::vector<char*> out;
    out.reserve(v.size() + 1);
    for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Only async-signal-safe calls between fork and exec: the parent has other threads.
[[noreturn]] void execChild(const char* path, char** argv, char** envp, int errWrite, int reportFd, pid_t parent) {
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);  // ignored signals survive exec otherwise
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // parent gone before the death signal was armed
    if (dup2(errWrite, STDERR_FILENO) < 0) goto fail;
    // Everything above 2 closes at exec, including the report pipe on success.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 65536; ++fd)
            if (fd != reportFd) ::close(fd);
    }
    execve(path, argv, envp);
fail:
    int e = errno;
    ssize_t ignored = ::write(reportFd, &e, sizeof e);
    (void)ignored;
    _exit(127);
}

}  // namespace

std::shared_ptr<ChildProcess> ChildProcess::launch(const std::string& path, const std::vector<std::string>& args,
                                                   const std::vector<std::string>& environment, std::string* error,
                                                   FullPipe fullPipe) {
    auto fail = [&](const std::string& why) -> std::shared_ptr<ChildProcess> {
        if (error) *error = why;
        return nullptr;
    };
    std::vector<std::string> argvStrings;
    argvStrings.push_back(path);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    auto argv = cStrings(argvStrings);
    auto envp = cStrings(environment);

    int errPipe[2];
    int report[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    if (fullPipe == FullPipe::Drop) {
        // The child's end never blocks: ssh ignores a failed write of its log, and goes on forwarding.
        fcntl(errPipe[1], F_SETFL, O_NONBLOCK);
        fcntl(errPipe[1], F_SETPIPE_SZ, kDropPipeBytes);  // a larger pipe than allowed stays at its default
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        int e = errno;
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        return fail(std::string("cannot make a pipe: ") + std::strerror(e));
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) execChild(path.c_str(), argv.data(), envp.data(), errPipe[1], report[1], parent);
    int forkErr = errno;
    ::close(errPipe[1]);
    ::close(report[1]);
    if (pid < 0) {
        ::close(errPipe[0]);
        ::close(report[0]);
        return fail(std::string("cannot start ") + path + ": " + std::strerror(forkErr));
    }
    int childErr = 0;
    ssize_t n;
    do n = ::read(report[0], &childErr, sizeof childErr);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof childErr)) {
        ::close(errPipe[0]);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return fail(std::string("cannot run ") + path + ": " + std::strerror(childErr));
    }

    std::shared_ptr<ChildProcess> child(new ChildProcess);
    child->m_pid = pid;
    child->m_errFd = errPipe[0];
    fcntl(child->m_errFd, F_SETFL, O_NONBLOCK);
    child->m_pidfd = pidfdOpen(pid);
    if (child->m_pidfd < 0) {
        int e = errno;
        child->terminate();
        child->waitForExit(nullptr);
        return fail(std::string("cannot watch the child process: ") + std::strerror(e));
    }
    return child;
}

ChildProcess::~ChildProcess() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_reaped && m_pid > 0) {
            ::kill(-m_pid, SIGKILL);
            int status;
            reapLocked(&status);
        }
    }
    closeFd(m_errFd);
    closeFd(m_pidfd);
}

void ChildProcess::terminate() {
    std::lock_guard lock(m_mutex);
    // Until reaped, the pid (and so the group id) cannot be handed to another process.
    if (!m_reaped && m_pid > 0) ::kill(-m_pid, SIGTERM);
}

void ChildProcess::kill() {
    std::lock_guard lock(m_mutex);
    if (!m_reaped && m_pid > 0) ::kill(-m_pid, SIGKILL);
}

void ChildProcess::reapLocked(int* status) {
    while (waitpid(m_pid, status, 0) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    m_exited = true;
}

bool ChildProcess::readOutput(const ChunkHandler& handler) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(m_errFd, buf, sizeof buf);
        if (n > 0) {
            if (handler && !handler(buf, static_cast<size_t>(n))) return false;
            if (static_cast<size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

int ChildProcess::finish() {
    m_exited = true;
    int status = 0;
    std::lock_guard lock(m_mutex);
    if (!m_reaped) {
        // Whatever the child left behind in its group (askpass, ProxyCommand) goes with it; the
        // unreaped leader keeps the group id from being reused meanwhile.
        ::kill(-m_pid, SIGTERM);
        reapLocked(&status);
    }
    return status;
}

int ChildProcess::waitForExit(const ChunkHandler& handler) {
    waitUntil(std::chrono::steady_clock::time_point::max(), handler);
    return finish();
}

ChildProcess::Waited ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline,
                                             const ChunkHandler& handler, const std::function<bool()>& stop) {
    constexpr int kStopPollMs = 20;  // how soon a stop is seen
    const bool forever = deadline == std::chrono::steady_clock::time_point::max();
    bool reading = m_errFd >= 0;
    bool exited = m_pidfd < 0;
    while (!exited) {
        if (stop && stop()) return Waited::Stopped;
        int ms = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Waited::TimedOut;
            ms = static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX));
        }
        if (stop) ms = ms < 0 ? kStopPollMs : std::min(ms, kStopPollMs);
        pollfd fds[2] = {{m_pidfd, POLLIN, 0}, {reading ? m_errFd : -1, POLLIN, 0}};
        if (poll(fds, 2, ms) < 0) {
            if (errno == EINTR) continue;
            return Waited::Failed;
        }
        if (reading && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) reading = readOutput(handler);
        if (fds[0].revents) exited = true;
    }
    if (reading) readOutput(handler);
    return Waited::Exited;
}
