#include "Subprocess.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "Wait.h"

extern char** environ;

namespace testsupport {
namespace {

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

std::vector<std::string> childEnvironment(const Subprocess::Options& options) {
    std::vector<std::string> env;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    auto overridden = [&](const std::string& name) {
        for (const auto& u : options.unsetEnv)
            if (u == name) return true;
        for (const auto& s : options.setEnv)
            if (nameOf(s) == name) return true;
        return false;
    };
    for (char** e = environ; e && *e; ++e)
        if (!overridden(nameOf(*e))) env.emplace_back(*e);
    env.insert(env.end(), options.setEnv.begin(), options.setEnv.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool writeFile(const std::string& path, const std::string& contents, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += size_t(n);
    }
    return close(fd) == 0 && ok;
}

Subprocess::Subprocess() = default;

Subprocess::~Subprocess() { terminate(); }

bool Subprocess::start(const std::vector<std::string>& argv, const Options& options) {
    if (!m_reaped) {
        m_error = "already running";
        return false;
    }
    if (argv.empty() || options.input.size() > 65536) {
        m_error = "no program, or input over 64 KiB";
        return false;
    }
    m_exitCode = -1;
    m_outputPath = options.outputPath;
    if (m_outputPath.empty()) {
        if (!m_ownDir) m_ownDir = std::make_unique<TempDir>("zandrel-proc");
        m_outputPath = m_ownDir->file("output");
    }
    int outFd = open(m_outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (outFd < 0) {
        m_error = "open " + m_outputPath + ": " + std::strerror(errno);
        return false;
    }
    // The input goes into the pipe before the child exists: it fits the pipe buffer, and no
    // write can hit a reader that is already gone (no SIGPIPE here).
    int inPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        close(outFd);
        return false;
    }
    fcntl(inPipe[1], F_SETPIPE_SZ, 65536);
    if (!options.input.empty() &&
        write(inPipe[1], options.input.data(), options.input.size()) != ssize_t(options.input.size())) {
        m_error = "input does not fit the pipe";
        close(inPipe[0]);
        close(inPipe[1]);
        close(outFd);
        return false;
    }
    close(inPipe[1]);

    // Everything the child needs is built before fork: after it only async-signal-safe calls.
    std::string program = findProgram(argv[0]);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = childEnvironment(options);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        close(inPipe[0]);
        close(outFd);
        return false;
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Lift the three descriptors above 9 first so that none is overwritten by the dup2s.
        int in = fcntl(inPipe[0], F_DUPFD, 10), out = fcntl(outFd, F_DUPFD, 10), err = fcntl(errPipe[1], F_DUPFD, 10);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || dup2(err, 3) < 0) _exit(127);
        close_range(4, ~0U, 0);
        fcntl(3, F_SETFD, FD_CLOEXEC);
        execve(program.c_str(), argp.data(), envp.data());
        int e = errno;
        (void)!write(3, &e, sizeof e);
        _exit(127);
    }
    close(inPipe[0]);
    close(outFd);
    close(errPipe[1]);
    if (pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        close(errPipe[0]);
        return false;
    }
    int execErrno = 0;
    ssize_t n;
    do n = read(errPipe[0], &execErrno, sizeof execErrno);
    while (n < 0 && errno == EINTR);
    close(errPipe[0]);
    m_pid = pid;
    m_reaped = false;
    if (n > 0) {
        m_error = "exec " + program + ": " + std::strerror(execErrno);
        wait(5000);
        return false;
    }
    m_error.clear();
    return true;
}

void Subprocess::reap(int status) {
    m_reaped = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Subprocess::running() {
    if (m_reaped) return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid)
        reap(status);
    else if (r < 0 && errno == ECHILD)
        m_reaped = true;  // reaped elsewhere; status unknown
    return !m_reaped;
}

bool Subprocess::wait(int timeoutMs) {
    return waitUntil([this] { return !running(); }, std::chrono::milliseconds(timeoutMs));
}

void Subprocess::signalGroup(int sig) {
    // Only while unreaped: the pid (and group id) cannot have been recycled yet.
    if (!m_reaped) kill(-m_pid, sig);
}

void Subprocess::terminate(int graceMs) {
    if (!running()) return;
    signalGroup(SIGTERM);
    if (!wait(graceMs)) {
        signalGroup(SIGKILL);
        wait(5000);
    }
}

std::string Subprocess::output() const { return m_outputPath.empty() ? std::string() : readFile(m_outputPath); }

bool Subprocess::waitForOutput(const std::string& needle, int timeoutMs, size_t from) const {
    return waitUntil(
        [&] {
            const std::string text = output();
            return text.size() > from && text.find(needle, from) != std::string::npos;
        },
        std::chrono::milliseconds(timeoutMs));
}

int Subprocess::run(const std::vector<std::string>& argv, std::string* output, const Options& options, int timeoutMs) {
    Subprocess child;
    if (!child.start(argv, options)) {
        if (output) *output = child.error();
        return -1;
    }
    bool finished = child.wait(timeoutMs);
    if (!finished) child.terminate(1000);
    if (output) *output = child.output();
    return finished ? child.exitCode() : -1;
}

}  // namespace testsupport
