#pragma once

#include <string>

// Where a tunnel is in its life. Connecting: ssh runs and has not yet reported a usable
// connection. Relaunching: ssh was asked to end and a fresh one follows at once (a reconnect, or
// a start while a stopped ssh was still ending). Stopping: asked to stop, ssh not yet ended.
// A tunnel that starts when first used: Arming while Zandrel takes its ports, Ready while it
// holds them without ssh, Resting while an unused ssh ends and the ports stay held.
enum class TunnelState {
    Idle,
    Launching,
    Connecting,
    Connected,
    Relaunching,
    RetryWaiting,
    Stopping,
    Arming,
    Ready,
    Resting
};

// What happens to a tunnel. Start, Stop, Reconnect come from the user (or D-Bus, a quit, the
// network coming back); Shutdown from quitting; the others from its ssh and the retry timer.
// ExitedForGood: ssh ended in a way no retry can heal (a changed host key, an option ssh refuses,
// logins refused too often). Arm: start one that starts when first used (its ports are taken
// first: Held, or HoldFailed); Demand: a connection waits for its ssh; IdleStop: unused too long.
enum class TunnelEvent {
    Start,
    Stop,
    Reconnect,
    Shutdown,
    Launched,
    LaunchFailed,
    ConnectedSeen,
    Exited,
    ExitedForGood,
    RetryDue,
    Arm,
    Held,
    HoldFailed,
    Demand,
    IdleStop
};

// The tunnel's lifecycle as one pure function: no process, thread, lock or clock. The caller
// performs the actions that a transition returns, in the order of the flags below.
class TunnelStateMachine {
public:
    enum Action : unsigned {
        None = 0,
        ClearReason = 1 << 0,    // a fresh start: the last stop's and the last run's reasons go
        ResetRetry = 1 << 1,     // the retry pause starts again from its shortest
        CountDrop = 1 << 2,      // a connected run ended without being asked to
        CancelRetry = 1 << 3,    // the pending retry timer goes
        ScheduleRetry = 1 << 4,  // the next run after the retry policy's pause
        Launch = 1 << 5,         // start ssh (on the engine's loop)
        Terminate = 1 << 6,      // SIGTERM to ssh's process group
        Post = 1 << 7,           // announce the change
        Hold = 1 << 8,           // take the ports (on the engine's loop), then Held or HoldFailed
    };
    struct Transition {
        TunnelState next;
        unsigned actions;
    };

    static Transition next(TunnelState state, TunnelEvent event);
    // The number D-Bus and the command line show: 0 down (or on its way down), 1 on its way up
    // or waiting to retry, 2 connected, 3 ready (its ports held, ssh starts when they are used).
    static int code(TunnelState state);
    // Whether the user wants it up: started and not stopped.
    static bool isWanted(TunnelState state);
    static std::string name(TunnelState state);
    static std::string name(TunnelEvent event);
};
