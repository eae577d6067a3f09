#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One child program with exactly the given path, arguments and environment. Its standard error
// is a pipe read by waitForExit; standard input and output are inherited. The child leads its
// own process group and inherits no descriptor but 0 to 2. It gets SIGTERM when the thread that
// launched it ends (PR_SET_PDEATHSIG follows the thread, not the process): launch it from a thread
// that outlives it. Either call waitForExit, or watch pidFd() and outputFd() in an event loop,
// call readOutput when the output is readable and finish once the pidfd is.
class ChildProcess {
public:
    // Called with each chunk of standard error as it arrives; return false to stop reading.
    using ChunkHandler = std::function<bool(const char* data, size_t size)>;

    // What the child's writes to standard error do while the pipe is full (the parent stopped or
    // busy): wait, or fail at once so that the child goes on (its words are then lost).
    enum class FullPipe { Wait, Drop };
    // The pipe's room with FullPipe::Drop: lines are lost only once the parent is that far behind.
    static constexpr int kDropPipeBytes = 1 << 20;

    // nullptr when the program cannot be started; *error then says why.
    static std::shared_ptr<ChildProcess> launch(const std::string& path, const std::vector<std::string>& args,
                                                const std::vector<std::string>& environment, std::string* error,
                                                FullPipe fullPipe = FullPipe::Wait);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // True until the child has exited.
    bool isRunning() const { return !m_exited.load(); }
    // SIGTERM to the child's process group. Safe from any thread at any time: once the child
    // has been reaped it does nothing, so no signal can reach a recycled pid.
    void terminate();
    // The same with SIGKILL, for a child that outlived its SIGTERM.
    void kill();

    // Blocks until the child exits, handing standard error to the handler chunk by chunk. Sees
    // the exit even while a grandchild still holds the pipe open. After the exit, output already
    // in the pipe is still handed over (when reading was not stopped), what is left of the child's
    // process group is sent SIGTERM, and the child is reaped. Returns the wait status. Call once.
    int waitForExit(const ChunkHandler& handler);

    enum class Waited { Exited, TimedOut, Stopped, Failed };
    // Hands standard error to the handler until the child exits (what is still in the pipe is
    // handed over too; finish() reaps it), the deadline passes or stop, asked every 20 ms when
    // given, returns true. Failed: poll failed, errno says why. Call once.
    Waited waitUntil(std::chrono::steady_clock::time_point deadline, const ChunkHandler& handler,
                     const std::function<bool()>& stop = {});

    // For an event loop: readable once the child has exited (a pidfd), and standard error
    // (non-blocking). Both stay open until the object goes.
    int pidFd() const { return m_pidfd; }
    int outputFd() const { return m_errFd; }
    // Hands what standard error holds now to the handler; false at end of file, on an error,
    // or when the handler stops reading: the output is then no longer watched.
    bool readOutput(const ChunkHandler& handler);
    // After the exit: SIGTERM to what is left of the child's process group, then the child is
    // reaped. Returns the wait status. Call once, after the output was read.
    int finish();

private:
    ChildProcess() = default;
    void reapLocked(int* status);

    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_errFd = -1;
    std::atomic<bool> m_exited{false};
    std::mutex m_mutex;  // guards m_reaped against terminate()
    bool m_reaped = false;
};
