#!/bin/sh
# ssh's askpass program for Zandrel. ssh runs it with its question as the one argument and
# TUNNEL_NAME in the environment; the answer goes to standard output, which ssh reads.
#
# Zandrel shows the question in a window (D-Bus method Authenticate, which returns at once)
# and later writes the user's answer into a named pipe made here. The answer passes from the
# pipe straight to standard output: it is never held in a variable, a file or an argument.
# A cancelled prompt writes nothing; this script then ends with its ssh.
#
# SSH_ASKPASS_PROMPT says what ssh wants: unset for a question; "none" for a notice with no
# answer (ssh ends this script with SIGTERM when it is done); "confirm" for a yes or no.

PATH=/usr/bin:/bin
export PATH
umask 077

me=askForPass
service=org.zandrel.Zandrel
object=/org/zandrel/Zandrel
# More than any password or host-key answer; a writer cannot make the reader run away.
max_answer=65536
kind=${SSH_ASKPASS_PROMPT-}

fail() {
    echo "$me: $*" >&2
    exit 1
}

# Without an address libdbus would try to autolaunch a bus on DISPLAY, which Zandrel sets to ":0"
# (so that ssh uses askpass at all).
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/bus" ]; then
        DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
        export DBUS_SESSION_BUS_ADDRESS
    else
        fail "no session bus to reach Zandrel on"
    fi
fi

ssh_pid=$PPID
dir=
reader=
watcher=

# The parent of a process, from /proc (the name in parentheses may hold blanks).
parent_of() {
    stat=
    read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
    stat=${stat##*) }
    # shellcheck disable=SC2086 # the fields after the name, split on blanks
    set -- $stat
    echo "$2"
}

# A directory for the pipe only when nobody else can put or swap things in it: ours and closed
# to group and others. /tmp is a fallback only with its sticky bit (mktemp -d is safe there).
private_base() {
    me_uid=$(id -u)
    for d in "${XDG_RUNTIME_DIR:-}" "${TMPDIR:-}"; do
        if [ -z "$d" ] || [ ! -d "$d" ] || [ -L "$d" ]; then continue; fi
        # shellcheck disable=SC2046 # owner and octal mode as two words
        set -- $(stat -c '%u %a' "$d" 2>/dev/null) || continue
        [ "${1:-}" = "$me_uid" ] || continue
        mode=${2:-777}
        group_other=$((0$mode & 022))
        [ "$group_other" -eq 0 ] && [ -w "$d" ] && {
            echo "$d"
            return 0
        }
    done
    [ -d /tmp ] && [ -k /tmp ] && [ -w /tmp ] && echo /tmp && return 0
    return 1
}

# Runs whole whichever way the script ends, once: a signal that arrives while it runs (the whole
# group gets one when ssh ends) is ignored, and a signal's trap runs it itself, since its exit
# may cut short an EXIT trap already under way. SIGPIPE too: once ssh has gone, a line to its
# standard error (the shell's own notice of a killed reader) would end the script unseen.
cleanup() {
    trap '' HUP INT TERM PIPE
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$reader" ] && kill "$reader" 2>/dev/null
    [ -n "$dir" ] && rm -rf "$dir"
    watcher= reader= dir=
}
trap cleanup EXIT
trap 'cleanup; exit 129' HUP
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap 'cleanup; exit 141' PIPE

# Whoever holds Zandrel's name on the bus must be the program that started our ssh: another
# program of the session could claim the name first and read the answer.
owner=$(dbus-send --session --print-reply --reply-timeout=5000 --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:"$service" 2>/dev/null </dev/null) ||
    fail "Zandrel cannot be reached on the session bus"
owner=${owner##* }
ssh_parent=$(parent_of "$ssh_pid") || fail "cannot find the parent of ssh ($ssh_pid)"
[ "$owner" = "$ssh_parent" ] || fail "$service is held by process $owner, not by the program that started ssh ($ssh_parent)"

base=$(private_base) || fail "no private directory for the answer's pipe"
dir=$(mktemp -d "$base/zandrel-askpass.XXXXXXXXXX") || fail "cannot make a private directory"
chmod 700 "$dir" || fail "cannot make $dir private"
fifo=$dir/answer
mkfifo -m 600 "$fifo" || fail "cannot make the named pipe"

# The reader waits on the pipe before Zandrel is asked, so that an answer given at once
# finds it there. It reads until the writer closes the pipe and copies the bytes unchanged.
if [ "$kind" = confirm ]; then
    head -c 16 "$fifo" >"$dir/said" &
else
    head -c "$max_answer" "$fifo" &
fi
reader=$!

# ssh waits for this script and never answers for it when it is gone (stopped tunnel,
# killed ssh): follow it and end the reader then. The watcher keeps none of ssh's pipes.
(
    nap=
    trap '[ -n "$nap" ] && kill "$nap" 2>/dev/null; exit 0' TERM
    while :; do
        sleep 1 &
        nap=$!
        wait "$nap"
        nap=
        kill -0 "$reader" 2>/dev/null || exit 0
        # Our parent changes when ssh exits, even before ssh has been reaped.
        parent=$(parent_of $$) || parent=$ssh_pid
        if [ "$parent" != "$ssh_pid" ] || ! kill -0 "$ssh_pid" 2>/dev/null; then
            kill "$reader" 2>/dev/null
            exit 0
        fi
    done
) </dev/null >/dev/null 2>&1 &
watcher=$!

reply=$(dbus-send --session --print-reply --reply-timeout=15000 --dest="$service" "$object" \
    "$service.AuthenticateKind" string:"${1-}" string:"${TUNNEL_NAME-}" string:"$fifo" string:"$kind" 2>&1 </dev/null)
case $reply in
*'string "OK"'*) ;;
*) fail "Zandrel cannot be reached on the session bus: $reply" ;;
esac

wait "$reader"
status=$?
reader=
if [ "$kind" = confirm ]; then
    # ssh takes an empty answer for consent too: only Zandrel's "yes" may say yes.
    said=
    read -r said <"$dir/said" 2>/dev/null
    [ "$status" -eq 0 ] && [ "$said" = yes ] || exit 1
    echo yes
fi
exit "$status"
