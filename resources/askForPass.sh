#!/bin/sh
# ssh's askpass program for Zandrel. ssh runs it with its question as the one argument and
# TUNNEL_NAME in the environment; the answer goes to standard output, which ssh reads.
#
# Zandrel shows the question in a window (D-Bus method Authenticate, which returns at once)
# and later writes the user's answer into a named pipe made here. The answer passes from the
# pipe straight to standard output: it is never held in a variable, a file or an argument.
# A cancelled prompt writes nothing; this script then ends with its ssh.

PATH=/usr/bin:/bin
export PATH
umask 077

me=askForPass
service=org.zandrel.Zandrel
object=/org/zandrel/Zandrel
# More than any password or host-key answer; a writer cannot make the reader run away.
max_answer=65536

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

cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$reader" ] && kill "$reader" 2>/dev/null
    [ -n "$dir" ] && rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

base=${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}
[ -d "$base" ] && [ -w "$base" ] || base=/tmp
dir=$(mktemp -d "$base/zandrel-askpass.XXXXXXXXXX") || fail "cannot make a private directory"
chmod 700 "$dir" || fail "cannot make $dir private"
fifo=$dir/answer
mkfifo -m 600 "$fifo" || fail "cannot make the named pipe"

# The reader waits on the pipe before Zandrel is asked, so that an answer given at once
# finds it there. It reads until the writer closes the pipe and copies the bytes unchanged.
head -c "$max_answer" "$fifo" &
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
        parent=$ssh_pid
        if read -r stat <"/proc/$$/stat" 2>/dev/null; then
            stat=${stat##*) }
            # shellcheck disable=SC2086 # the fields after the name, split on blanks
            set -- $stat
            parent=$2
        fi
        if [ "$parent" != "$ssh_pid" ] || ! kill -0 "$ssh_pid" 2>/dev/null; then
            kill "$reader" 2>/dev/null
            exit 0
        fi
    done
) </dev/null >/dev/null 2>&1 &
watcher=$!

reply=$(dbus-send --session --print-reply --reply-timeout=15000 --dest="$service" "$object" \
    "$service.Authenticate" string:"${1-}" string:"${TUNNEL_NAME-}" string:"$fifo" 2>&1 </dev/null)
case $reply in
*'string "OK"'*) ;;
*Error.NoDisplay:*)
    # Nobody can answer (Zandrel runs headless): end this run of ssh now, so that its reason is
    # this line rather than the "Permission denied" that ssh would print after trying on.
    echo "${reply#*Error.NoDisplay: }" >&2
    kill -TERM "$ssh_pid" 2>/dev/null
    exit 1
    ;;
*) fail "Zandrel cannot be reached on the session bus: $reply" ;;
esac

wait "$reader"
status=$?
reader=
exit "$status"
