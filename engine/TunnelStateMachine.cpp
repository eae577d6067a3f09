#include "TunnelStateMachine.h"

using S = TunnelState;
using E = TunnelEvent;
using M = TunnelStateMachine;

M::Transition M::next(TunnelState state, TunnelEvent event) {
    const Transition stay{state, None};
    switch (state) {
        case S::Idle:
            // A start's own announcement comes once ssh runs (or could not be started).
            if (event == E::Start) return {S::Launching, ClearReason | ResetRetry | Launch};
            // Announced once the ports are held, or could not be.
            if (event == E::Arm) return {S::Arming, ClearReason | ResetRetry | Hold};
            return stay;
        case S::Arming:
            switch (event) {
                case E::Held:
                    return {S::Ready, Post};
                case E::Demand:  // nothing to hold: ssh runs as for any tunnel
                    return {S::Launching, Launch | Post};
                case E::HoldFailed:  // a port in use may be freed: tried again after the pause
                    return {S::RetryWaiting, ScheduleRetry | Post};
                case E::Stop:
                case E::Shutdown:
                    return {S::Idle, Post};
                default:
                    return stay;
            }
        case S::Ready:
            switch (event) {
                case E::Demand:
                    return {S::Launching, Launch | Post};
                case E::Stop:
                case E::Shutdown:
                    return {S::Idle, Post};
                case E::HoldFailed:  // an edit moved a port to one in use
                    return {S::RetryWaiting, ScheduleRetry | Post};
                case E::Arm:  // made one that starts when used while its ssh ran: the ports are taken now
                    return {S::Arming, Hold};
                default:
                    return stay;
            }
        case S::Resting:
            switch (event) {
                case E::Exited:
                case E::ExitedForGood:
                    return {S::Ready, Post};
                case E::Stop:
                case E::Shutdown:
                    return {S::Stopping, Post};  // ssh was told to end already
                case E::Demand:
                case E::Reconnect:
                    return {S::Relaunching, ResetRetry | Post};
                default:
                    return stay;
            }
        case S::Launching:
            switch (event) {
                case E::Stop:
                case E::Shutdown:
                    return {S::Idle, Post};  // the pending launch finds the state changed and drops
                case E::Launched:
                    return {S::Connecting, Post};
                case E::LaunchFailed:
                    return {S::Idle, Post};  // a program that cannot start will not start later either
                default:
                    return stay;
            }
        case S::Connecting:
        case S::Connected:
            switch (event) {
                case E::Stop:
                    return {S::Stopping, Terminate | Post};
                case E::Reconnect:
                    return {S::Relaunching, ResetRetry | Terminate | Post};
                case E::ConnectedSeen:
                    return state == S::Connecting ? Transition{S::Connected, ResetRetry | Post} : stay;
                case E::IdleStop:
                    return state == S::Connected ? Transition{S::Resting, Terminate | Post} : stay;
                case E::Exited:
                    if (state == S::Connected) return {S::RetryWaiting, CountDrop | ResetRetry | ScheduleRetry | Post};
                    return {S::RetryWaiting, ScheduleRetry | Post};
                case E::ExitedForGood:
                    return {S::Idle, Post};
                default:
                    return stay;
            }
        case S::Relaunching:
            switch (event) {
                case E::Stop:
                case E::Shutdown:
                    return {S::Stopping, Terminate | Post};
                case E::Exited:
                case E::ExitedForGood:  // the user asked for a fresh run
                    return {S::Launching, Launch | Post};
                default:
                    return stay;
            }
        case S::RetryWaiting:
            switch (event) {
                case E::Start:  // retries at once; the pause after it keeps growing
                case E::RetryDue:
                    return {S::Launching, CancelRetry | Launch};
                case E::Arm:  // its ports were not held: they are taken first
                    return {S::Arming, CancelRetry | Hold};
                case E::Reconnect:
                    return {S::Launching, CancelRetry | ResetRetry | Launch};
                case E::Stop:
                case E::Shutdown:
                    return {S::Idle, CancelRetry | Post};
                default:
                    return stay;
            }
        case S::Stopping:
            switch (event) {
                case E::Start:  // before the stopped ssh has ended: the next run follows at once
                    return {S::Relaunching, ClearReason | ResetRetry | Post};
                case E::Exited:
                case E::ExitedForGood:
                    return {S::Idle, Post};
                default:
                    return stay;
            }
    }
    return stay;
}

int M::code(TunnelState state) {
    switch (state) {
        case S::Connected:
            return 2;
        case S::Ready:
        case S::Resting:
            return 3;
        case S::Arming:
        case S::Launching:
        case S::Connecting:
        case S::Relaunching:
        case S::RetryWaiting:
            return 1;
        case S::Idle:
        case S::Stopping:
            return 0;
    }
    return 0;
}

bool M::isWanted(TunnelState state) { return code(state) != 0; }

std::string M::name(TunnelState state) {
    static const char* const names[] = {"Idle",         "Launching", "Connecting", "Connected", "Relaunching",
                                        "RetryWaiting", "Stopping",  "Arming",     "Ready",     "Resting"};
    return names[static_cast<int>(state)];
}

std::string M::name(TunnelEvent event) {
    static const char* const names[] = {"Start",        "Stop",          "Reconnect",  "Shutdown",      "Launched",
                                        "LaunchFailed", "ConnectedSeen", "Exited",     "ExitedForGood", "RetryDue",
                                        "Arm",          "Held",          "HoldFailed", "Demand",        "IdleStop"};
    return names[static_cast<int>(event)];
}
