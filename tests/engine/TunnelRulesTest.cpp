// The lifecycle's rules without ssh: the transition table, the retry pauses, and the settings
// that must never reach ssh's command line.
#include <gtest/gtest.h>

#include "NotificationCenter.h"
#include "RetryPolicy.h"
#include "RunFailure.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "TunnelStateMachine.h"
#include "TunnelStore.h"

using S = TunnelState;
using E = TunnelEvent;
using M = TunnelStateMachine;
using namespace std::chrono_literals;

namespace {
constexpr S kStates[] = {S::Idle,         S::Launching, S::Connecting, S::Connected, S::Relaunching,
                         S::RetryWaiting, S::Stopping,  S::Arming,     S::Ready,     S::Resting};
constexpr E kEvents[] = {E::Start,        E::Stop,          E::Reconnect,  E::Shutdown,      E::Launched,
                         E::LaunchFailed, E::ConnectedSeen, E::Exited,     E::ExitedForGood, E::RetryDue,
                         E::Arm,          E::Held,          E::HoldFailed, E::Demand,        E::IdleStop};
}  // namespace

TEST(StateMachine, Transitions) {
    struct Row {
        S from;
        E event;
        S next;
        unsigned actions;
    };
    const Row rows[] = {
        {S::Idle, E::Start, S::Launching, M::ClearReason | M::ResetRetry | M::Launch},
        {S::Idle, E::Stop, S::Idle, M::None},
        {S::Idle, E::Exited, S::Idle, M::None},
        {S::Launching, E::Stop, S::Idle, M::Post},
        {S::Launching, E::Launched, S::Connecting, M::Post},
        {S::Launching, E::LaunchFailed, S::Idle, M::Post},
        {S::Launching, E::Start, S::Launching, M::None},
        {S::Connecting, E::ConnectedSeen, S::Connected, M::ResetRetry | M::Post},
        {S::Connecting, E::Exited, S::RetryWaiting, M::ScheduleRetry | M::Post},
        {S::Connecting, E::Stop, S::Stopping, M::Terminate | M::Post},
        {S::Connected, E::Exited, S::RetryWaiting, M::CountDrop | M::ResetRetry | M::ScheduleRetry | M::Post},
        {S::Connected, E::Reconnect, S::Relaunching, M::ResetRetry | M::Terminate | M::Post},
        {S::Connected, E::Start, S::Connected, M::None},
        {S::Connected, E::ConnectedSeen, S::Connected, M::None},
        {S::Relaunching, E::Exited, S::Launching, M::Launch | M::Post},
        {S::Connecting, E::ExitedForGood, S::Idle, M::Post},  // no retry can heal it
        {S::Stopping, E::ExitedForGood, S::Idle, M::Post},
        {S::Relaunching, E::Stop, S::Stopping, M::Terminate | M::Post},
        {S::Relaunching, E::ConnectedSeen, S::Relaunching, M::None},
        {S::RetryWaiting, E::RetryDue, S::Launching, M::CancelRetry | M::Launch},
        {S::RetryWaiting, E::Start, S::Launching, M::CancelRetry | M::Launch},
        {S::RetryWaiting, E::Reconnect, S::Launching, M::CancelRetry | M::ResetRetry | M::Launch},
        {S::RetryWaiting, E::Stop, S::Idle, M::CancelRetry | M::Post},
        {S::RetryWaiting, E::Shutdown, S::Idle, M::CancelRetry | M::Post},
        {S::Stopping, E::Start, S::Relaunching, M::ClearReason | M::ResetRetry | M::Post},
        {S::Stopping, E::Exited, S::Idle, M::Post},
        {S::Stopping, E::ConnectedSeen, S::Stopping, M::None},
        {S::Stopping, E::Reconnect, S::Stopping, M::None},
        // Held ports: taken first, ssh at the first use, ended when quiet, the ports kept.
        {S::Idle, E::Arm, S::Arming, M::ClearReason | M::ResetRetry | M::Hold},
        {S::Arming, E::Held, S::Ready, M::Post},
        {S::Arming, E::HoldFailed, S::RetryWaiting, M::ScheduleRetry | M::Post},
        {S::RetryWaiting, E::Arm, S::Arming, M::CancelRetry | M::Hold},
        {S::Ready, E::Demand, S::Launching, M::Launch | M::Post},
        {S::Ready, E::Start, S::Ready, M::None},
        {S::Ready, E::Reconnect, S::Ready, M::None},
        {S::Connected, E::IdleStop, S::Resting, M::Terminate | M::Post},
        {S::Connecting, E::IdleStop, S::Connecting, M::None},
        {S::Resting, E::Exited, S::Ready, M::Post},  // no drop: it was asked to end
        {S::Resting, E::Demand, S::Relaunching, M::ResetRetry | M::Post},
        {S::Resting, E::Stop, S::Stopping, M::Post},
    };
    for (const Row& r : rows) {
        const auto t = M::next(r.from, r.event);
        EXPECT_EQ(M::name(t.next), M::name(r.next)) << M::name(r.from) << " + " << M::name(r.event);
        EXPECT_EQ(t.actions, r.actions) << M::name(r.from) << " + " << M::name(r.event);
    }
}

TEST(StateMachine, WholeTableKeepsItsPromises) {
    for (S from : kStates) {
        for (E event : kEvents) {
            const auto t = M::next(from, event);
            const std::string what = M::name(from) + " + " + M::name(event);
            // ssh is started only on the way to Launching, and only signalled where one may run.
            EXPECT_EQ(bool(t.actions & M::Launch), t.next == S::Launching && from != S::Launching) << what;
            if (t.actions & M::Terminate) {
                EXPECT_TRUE(from == S::Connecting || from == S::Connected || from == S::Relaunching) << what;
            }
            // Ports are taken only on the way to Arming.
            EXPECT_EQ(bool(t.actions & M::Hold), t.next == S::Arming && from != S::Arming) << what;
            // A stop always ends in a state that is not wanted; neither it nor quitting starts anything.
            if (event == E::Stop) {
                EXPECT_FALSE(M::isWanted(t.next)) << what;
            }
            if (event == E::Stop || event == E::Shutdown) {
                EXPECT_FALSE(t.actions & (M::Launch | M::ScheduleRetry)) << what;
            }
            // A retry is scheduled only on leaving for the pause, and the pause ends with a cancel.
            EXPECT_EQ(bool(t.actions & M::ScheduleRetry), t.next == S::RetryWaiting && from != S::RetryWaiting) << what;
            if (from == S::RetryWaiting && t.next != S::RetryWaiting) {
                EXPECT_TRUE(t.actions & M::CancelRetry) << what;
            }
        }
    }
    const std::pair<S, int> codes[] = {{S::Idle, 0},        {S::Stopping, 0},     {S::Launching, 1}, {S::Connecting, 1},
                                       {S::Relaunching, 1}, {S::RetryWaiting, 1}, {S::Connected, 2}, {S::Arming, 1},
                                       {S::Ready, 3},       {S::Resting, 3}};
    for (auto [state, code] : codes) EXPECT_EQ(M::code(state), code) << M::name(state);
}

TEST(RetryPolicy, DoublesToAMinuteAndStartsOverOnReset) {
    RetryPolicy policy;
    const int expected[] = {1, 2, 4, 8, 16, 32, 60, 60};
    for (int seconds : expected) EXPECT_EQ(policy.nextDelay(), std::chrono::seconds(seconds));
    policy.reset();
    EXPECT_EQ(policy.nextDelay(), 1s);
    EXPECT_EQ(policy.nextDelay(), 2s);
    RetryPolicy::setScale(0.5);
    EXPECT_EQ(RetryPolicy::scaled(2s), 1s);
    RetryPolicy::setScale(1);
}

TEST(TunnelRecord, SettingsThatMustNotReachSsh) {
    // A host or user that ssh would read as an option is refused before anything starts.
    SshCommand::setSshProgram("/nonexistent/zandrel-ssh");
    for (const auto& [host, user] : std::vector<std::pair<std::string, std::string>>{
             {"-oProxyCommand=false", ""}, {"h", "-oProxyCommand=x"}, {"", ""}}) {
        auto t = Tunnel::create("guard");
        t->setValueForKey(Value(host), "connHost");
        t->setValueForKey(Value(user), "connUser");
        t->run().start();
        EXPECT_EQ(t->run().state(), S::Idle) << host << " " << user;
        EXPECT_FALSE(t->run().lastError().empty()) << host << " " << user;
    }
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    SshCommand::setSshProgram("/usr/bin/ssh");

    // Options cleared by "no value" are gone from the command line.
    auto t = Tunnel::create("options");
    t->setValueForKey(Value("h"), "connHost");
    t->setValueForKey(Value(Value::List{Value("ProxyJump=bastion")}), "sshOptions");
    auto hasOption = [&] {
        const auto args = t->command().arguments();
        return std::find(args.begin(), args.end(), "ProxyJump=bastion") != args.end();
    };
    EXPECT_TRUE(hasOption());
    t->setValueForKey(Value(), "sshOptions");
    EXPECT_FALSE(hasOption());
    EXPECT_TRUE(t->valueForKey("sshOptions").isNone());
}

TEST(TunnelStore, OneOwnerAnnouncesEveryChange) {
    TunnelStore store;
    int notices = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(TunnelStore::kListChanged, &store,
                                                                       [&](const Notification&) { ++notices; });
    store.append(Tunnel::create("a"));
    store.append(Tunnel::create("b"));
    store.insert(0, Tunnel::create("c"));
    store.move(0, 2);
    auto names = [&] {
        std::string s;
        for (const auto& t : store.tunnels()) s += t->connName();
        return s;
    };
    EXPECT_EQ(names(), "abc");
    EXPECT_EQ(store.remove(1)->connName(), "b");
    EXPECT_EQ(store.remove(9), nullptr);  // past the end: nothing, and nothing announced
    EXPECT_EQ(names(), "ac");
    EXPECT_EQ(store.indexOf(store.named("c").get()), 1);
    EXPECT_EQ(store.named("b"), nullptr);
    EXPECT_EQ(notices, 5);
    NotificationCenter::defaultCenter().removeObserver(token);

    // Names: one line, nothing hidden, no group marker, and each its own.
    const auto a = store.named("a");
    for (const std::string bad : {"", "two\nlines", "tab\there", "evil\u202Egnp", "@ops", "c"})
        EXPECT_NE(store.nameError(bad, a.get()), "") << bad;
    for (const std::string good : {"a", "db (prod)", "back\\slash", "ünïcode", "mail@home"})
        EXPECT_EQ(store.nameError(good, a.get()), "") << good;
    store.append(Tunnel::create("New Tunnel"));
    store.append(Tunnel::create("New Tunnel 2"));
    EXPECT_EQ(store.freeName("New Tunnel"), "New Tunnel 3");
    EXPECT_EQ(store.freeName("web"), "web");
}

TEST(RunFailure, WhatNoRetryCanHeal) {
    using K = RunFailure::Kind;
    struct Case {
        std::vector<std::string> lines;
        K kind;
        std::vector<std::string> said;  // in the reason
    };
    const Case cases[] = {
        {{"ssh: connect to host h port 22: Connection refused"}, K::Heals, {}},
        {{"bind [127.0.0.1]:8143: Address already in use"}, K::Heals, {}},
        {{"debug1: line 3: Applying options for *", "Connection closed by 127.0.0.1 port 22"}, K::Heals, {}},
        {{"command-line: line 0: Bad configuration option: foo"}, K::BadOptions, {"Bad configuration option: foo"}},
        {{"/home/me/.ssh/config: line 2: Bad configuration option: usekeychain",
          "/home/me/.ssh/config: terminating, 1 bad configuration options"},
         K::BadOptions,
         {"usekeychain", "~/.ssh/config"}},
        {{"command-line line 0: invalid time value."}, K::BadOptions, {"invalid time value"}},
        {{"parse_jump: invalid hostname \"-x\"", "Invalid -J argument"}, K::BadJumpHosts, {"parse_jump"}},
        {{"me@h: Permission denied (publickey,password)."},
         K::LoginRefused,
         {"Permission denied (publickey,password)."}},
        {{"@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @",
          "The fingerprint for the ED25519 key sent by the remote host is", "SHA256:AbCd123.",
          "  ssh-keygen -f \"/root/.ssh/known_hosts\" -R \"[127.0.0.1]:2222\"",
          "Host key for [127.0.0.1]:2222 has changed and you have requested strict checking.",
          "Host key verification failed."},
         K::HostKeyChanged,
         {"Host key verification failed.", "identity changed", "intercepting", "SHA256:AbCd123",
          "ssh-keygen -f \"/root/.ssh/known_hosts\" -R \"[127.0.0.1]:2222\""}},
        {std::vector<std::string>(RunFailure::kMaxJumpDepth, "debug1: Executing proxy command: exec ssh"),
         K::Heals,
         {}},
        {std::vector<std::string>(RunFailure::kMaxJumpDepth + 1, "debug1: Executing proxy command: exec ssh -W x a"),
         K::JumpHostLoop,
         {"jump host chain loops", "ProxyJump", "press Start"}},
        // Unknown host, not a changed one: a question was refused, Start asks again.
        {{"Host key verification failed."}, K::Heals, {}},
    };
    for (const Case& c : cases) {
        RunFailure f;
        for (const auto& l : c.lines) f.observe(l);
        EXPECT_EQ(f.kind(), c.kind) << c.lines.front();
        for (const auto& words : c.said) EXPECT_NE(f.reason().find(words), std::string::npos) << f.reason();
    }
}
