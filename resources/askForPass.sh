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

# ssh waits for this script and never answers for it when it is gone (stopped tunnel, killed
# ssh). The kernel tells: the shell runs again under setpriv with a signal for its parent's end,
# and waits without polling. ssh may have gone before that took hold, hence the parent check.
if [ "${ZANDREL_ASKPASS_WATCHED:-}" != "$ssh_pid" ]; then
    [ -z "${ZANDREL_ASKPASS_WATCHED:-}" ] || fail "the ssh that asked has ended"
    command -v setpriv >/dev/null 2>&1 || fail "setpriv (util-linux) is missing"
    ZANDREL_ASKPASS_WATCHED=$ssh_pid
    export ZANDREL_ASKPASS_WATCHED
    exec setpriv --pdeathsig TERM -- "$0" "$@"
fi
unset ZANDREL_ASKPASS_WATCHED

dir=
reader=

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
    [ -n "$reader" ] && kill "$reader" 2>/dev/null
    [ -n "$dir" ] && rm -rf "$dir"
    reader= dir=
}
trap cleanup EXIT
trap 'cleanup; exit 129' HUP
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap 'cleanup; exit 141' PIPE

# Whoever holds Zandrel's name on the bus must have started our ssh, directly or through the ssh
# of a jump host (ssh -W below it): another program of the session could claim the name first and
# read the answer.
owner=$(dbus-send --session --print-reply --reply-timeout=5000 --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:"$service" 2>/dev/null </dev/null) ||
    fail "Zandrel cannot be reached on the session bus"
owner=${owner##* }
above=$(parent_of "$ssh_pid") || fail "cannot find the parent of ssh ($ssh_pid)"
steps=0
while [ "$above" != "$owner" ]; do
    steps=$((steps + 1))
    if [ "$above" -le 1 ] || [ "$steps" -ge 8 ]; then
        fail "$service is held by process $owner, which did not start ssh ($ssh_pid)"
    fi
    above=$(parent_of "$above") || above=0
done

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

# Zandrel accepts a caller only when its process is older than its bus connection (a process
# that took a reused pid is younger): the caller's process is made first, and connects later.
reply=$(
    sleep 0.05
    exec dbus-send --session --print-reply --reply-timeout=15000 --dest="$service" "$object" \
        "$service.AuthenticateKind" string:"${1-}" string:"${TUNNEL_NAME-}" string:"$fifo" string:"$kind" 2>&1 </dev/null
)
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
