#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class TempDir;

// One child program for a test. It leads its own session and process group (so it has no
// controlling terminal: ssh run from a developer's terminal behaves as in CI), gets SIGTERM when this
// process dies, starts with default signal handling, inherits no descriptor but 0 to 2, reads
// its standard input from `input` (else /dev/null), and writes standard output and error, both,
// to a file that the test can read while it runs.
class Subprocess {
public:
    struct Options {
        std::vector<std::string> setEnv;    // "NAME=value", for this child only
        std::vector<std::string> unsetEnv;  // names removed from this child's environment
        std::string input;                  // standard input (at most 64 KiB)
        std::string outputPath;             // appended to; empty: a file in a private temp dir
    };

    Subprocess();
    ~Subprocess();  // terminate()
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // argv[0] is a path or a name looked up in PATH. False (and error()) when it cannot start.
    bool start(const std::vector<std::string>& argv, const Options& options = {});
    pid_t pid() const { return m_pid; }
    bool running();
    // True once the child has exited (reaped) within timeoutMs.
    bool wait(int timeoutMs);
    // Exit status, 128 + signal number when killed by a signal, -1 while running or never started.
    int exitCode() const { return m_exitCode; }
    // Sends sig to the child's process group while the child has not been reaped.
    void signalGroup(int sig);
    // SIGTERM to the group, SIGKILL after graceMs, reaped.
    void terminate(int graceMs = 3000);

    const std::string& outputPath() const { return m_outputPath; }
    std::string output() const;
    // True when the output from byte `from` on contains needle within timeoutMs.
    bool waitForOutput(const std::string& needle, int timeoutMs, size_t from = 0) const;
    const std::string& error() const { return m_error; }

    // Runs argv to its end; kills it after timeoutMs. Returns its exitCode(), -1 when it could not
    // start or timed out; what it printed goes to *output when given.
    static int run(const std::vector<std::string>& argv, std::string* output = nullptr, const Options& options = {},
                   int timeoutMs = 30000);

private:
    void reap(int status);

    pid_t m_pid = -1;
    bool m_reaped = true;
    int m_exitCode = -1;
    std::string m_outputPath;
    std::string m_error;
    std::unique_ptr<TempDir> m_ownDir;
};

// Whole contents of a file, "" when it cannot be read.
std::string readFile(const std::string& path);
// Writes (replaces) a file with the given mode; false on failure.
bool writeFile(const std::string& path, const std::string& contents, mode_t mode = 0600);

}  // namespace testsupport
