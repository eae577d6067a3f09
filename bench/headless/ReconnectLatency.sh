#!/bin/sh
# Reconnect All with 50 tunnels to one real sshd on 127.0.0.1 (default MaxStartups 10:30:100),
# run by the headless zandrel: how long D-Bus takes to answer ListTunnels meanwhile (target:
# within 100 ms), how long until every tunnel is connected again, and how many connections sshd
# turned away. Needs root (sshd) and a private ~/.ssh: run it through tests/e2e/isolated.sh.
# Usage: ReconnectLatency.sh ZANDREL_BINARY [TUNNELS]
set -eu
bin=$1
n=${2:-50}
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    exec dbus-run-session -- "$0" "$@"
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/zandrel-bench.XXXXXX")
pid=
cleanup() {
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    [ -f "$dir/sshd.pid" ] && kill "$(cat "$dir/sshd.pid")" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ssh-keygen -q -t ed25519 -N '' -f "$dir/hostkey"
ssh-keygen -q -t ed25519 -N '' -f "$dir/client"
cat >"$dir/sshd_config" <<E
Port $port
ListenAddress 127.0.0.1
HostKey $dir/hostkey
AuthorizedKeysFile $dir/client.pub
PasswordAuthentication no
KbdInteractiveAuthentication no
StrictModes no
PidFile $dir/sshd.pid
LogLevel VERBOSE
E
/usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log"
mkdir -p "$HOME/.ssh"
echo "[127.0.0.1]:$port $(cat "$dir/hostkey.pub")" >"$HOME/.ssh/known_hosts"
mkdir -p "$dir/config/zandrel"
{
    printf '{"tunnels":['
    i=1
    while [ "$i" -le "$n" ]; do
        [ "$i" -gt 1 ] && printf ','
        printf '{"connName":"t%d","connHost":"127.0.0.1","connPort":"%d","connUser":"%s","connAuth":false,' \
            "$i" "$port" "$(id -un)"
        printf '"autoConnect":true,"identityFile":"%s",' "$dir/client"
        printf '"tunnelsLocal":[{"port":"%d","host":"127.0.0.1","hostport":"%d"}]}' $((30000 + i)) "$port"
        i=$((i + 1))
    done
    printf ']}\n'
} >"$dir/config/zandrel/defaults.json"
export XDG_CONFIG_HOME="$dir/config"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM ZANDREL_SSH_PROGRAM
"$bin" --headless 2>"$dir/log" &
pid=$!
connected() { "$bin" --list 2>/dev/null | grep -c "	Connected	" || true; }
waitAll() {
    tries=0
    until [ "$(connected)" -eq "$n" ]; do
        tries=$((tries + 1))
        [ "$tries" -gt 600 ] && { echo "ReconnectLatency: the tunnels did not all connect" >&2; exit 1; }
        sleep 0.1
    done
}
waitAll
call() {
    dbus-send --session --print-reply --dest=org.zandrel.Zandrel /org/zandrel/Zandrel "org.zandrel.Zandrel.$1" >/dev/null
}
now() { date +%s%N; }
turnedAway() { grep -c -E "MaxStartups|drop connection|exceeded" "$dir/sshd.log" || true; }
# ListTunnels again and again until the time (ns) is reached or count calls were made; sets
# worst (ms) and samples.
timeCalls() {
    worst=0
    samples=0
    while [ "$(now)" -lt "$1" ] && [ "$samples" -lt "$2" ]; do
        t0=$(now)
        call ListTunnels
        ms=$((($(now) - t0) / 1000000))
        [ "$ms" -gt "$worst" ] && worst=$ms
        samples=$((samples + 1))
    done
}
# The same calls with nothing under way: what a dbus-send costs on this machine now.
timeCalls $(($(now) + 10000000000)) 10
idle=$worst
refusedBefore=$(turnedAway)
start=$(now)
call ReconnectAll
# D-Bus answers while the 50 handshakes run (a dbus-send of its own costs a few ms of it).
timeCalls $((start + 4000000000)) 1000000
waitAll
all=$((($(now) - start) / 1000000))
refused=$(($(turnedAway) - refusedBefore))
echo "ReconnectLatency: $n tunnels to one sshd: slowest ListTunnels during Reconnect All ${worst} ms" \
    "over $samples calls, ${idle} ms at rest (target within 100 ms: $([ "$worst" -le 100 ] && echo met || echo 'NOT met'));" \
    "all connected again after ${all} ms; connections sshd turned away: $refused"
