// What the platform does with what it does not control: a write that fails part way, a signal for
// a child that is gone while its process id is someone else's, a child writing faster than it is
// read, a port another program holds, text that would split or disguise a log line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"
#include "Defaults.h"
#include "Log.h"
#include "PortOwner.h"
#include "TempDir.h"
#include "Wait.h"

namespace {

// Writes past this many bytes fail (EFBIG) while the object lives, as on a full disk.
struct FileSizeLimit {
    rlimit before{};
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit limit = before;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, SIG_DFL);
    }
};

}  // namespace

TEST(Defaults, AWriteThatFailsPartWayKeepsTheFileAsItWasAndSaysSo) {
    testsupport::TempDir dir;
    Defaults store(dir.file("defaults.json"));
    ASSERT_TRUE(store.setObjectForKey(Value("kept"), "a"));
    const std::string before = testsupport::TempDir::read(dir.file("defaults.json"));
    {
        FileSizeLimit limit(before.size() + 16);
        EXPECT_FALSE(store.setObjectForKey(Value(std::string(4096, 'x')), "b"));
    }
    EXPECT_EQ(testsupport::TempDir::read(dir.file("defaults.json")), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left
    EXPECT_EQ(Defaults(dir.file("defaults.json")).objectForKey("a"), Value("kept"));
}

TEST(ChildProcess, TerminateAfterTheReapSignalsNobodyEvenWhenThePidIsTakenAgain) {
    // The next pid is chosen through ns_last_pid, which needs root; the pid must be reused to tell.
    std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
    if (getuid() != 0 || !lastPid) GTEST_SKIP() << "needs root to choose the next process id";
    std::string error;
    auto child = ChildProcess::launch("/bin/true", {}, {}, &error);
    ASSERT_TRUE(child) << error;
    const pid_t reaped = child->pid();
    child->waitForExit(nullptr);
    for (int attempt = 0; attempt < 20; ++attempt) {
        lastPid << reaped - 1 << std::flush;
        const pid_t stranger = fork();
        if (stranger == 0) {
            setpgid(0, 0);  // a group of its own with the old child's id
            pause();
            _exit(0);
        }
        ASSERT_GT(stranger, 0);
        if (stranger != reaped) {  // another process took the id first: try again
            kill(stranger, SIGKILL);
            waitpid(stranger, nullptr, 0);
            continue;
        }
        ASSERT_TRUE(testsupport::waitUntil([&] { return getpgid(stranger) == stranger; }, std::chrono::seconds(5)));
        child->terminate();
        usleep(20000);  // time for a signal to land
        int status = 0;
        EXPECT_EQ(waitpid(stranger, &status, WNOHANG), 0) << "the stranger got the old child's signal";
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);
        return;
    }
    GTEST_SKIP() << "the old process id was never free to take again";
}

TEST(PortOwner, NamesOurOwnProgramOnABusyPortAndNothingOnAFreeOne) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    const int port = ntohs(address.sin_port);
    EXPECT_EQ(PortOwner::describe(port),
              "port " + std::to_string(port) + " is used by platform_unit, pid " + std::to_string(getpid()));
    close(fd);
    EXPECT_EQ(PortOwner::describe(port), "");
}

TEST(ChildProcess, AChildThatMayDropItsOutputNeverWaitsForAParentThatDoesNotRead) {
    testsupport::TempDir dir;
    const std::string done = dir.file("done");
    // Far more than the pipe holds, and nobody reads until the end.
    const std::string script = "head -c 8000000 /dev/zero >&2; touch '" + done + "'; exec sleep 100";
    std::string error;
    auto child = ChildProcess::launch("/bin/sh", {"-c", script}, {}, &error, ChildProcess::FullPipe::Drop);
    ASSERT_TRUE(child) << error;
    for (int i = 0; i < 500 && !std::filesystem::exists(done); ++i) usleep(10000);
    EXPECT_TRUE(std::filesystem::exists(done)) << "the child waited for its reader";
    child->terminate();
    child->waitForExit(nullptr);
}

TEST(Log, EscapedTextKeepsToOneLineAndShowsWhatIsHidden) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain name, ünïcode ok", "plain name, ünïcode ok"},
        {"two\nlines\tand\rmore", "two\\nlines\\tand\\rmore"},
        {"bell\x07 del\x7f", "bell\\x07 del\\x7F"},
        {"back\\slash", "back\\\\slash"},
        {"evil\u202Egnp.exe", "evil\\u{202E}gnp.exe"},  // right-to-left override
        {"zero\u200Bwidth\uFEFF", "zero\\u{200B}width\\u{FEFF}"},
        {"c1\u0085", "c1\\u{0085}"},
    };
    for (const auto& [raw, shown] : cases) EXPECT_EQ(Log::escaped(raw), shown) << raw;
}
