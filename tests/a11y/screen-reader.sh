#!/bin/sh
# Runs zandrel on its own X server and session bus, with the accessibility bus on, and checks
# over AT-SPI what a screen reader hears of the tunnels window.
# Usage: screen-reader.sh BUILD_DIR
set -eu
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
D=$(mktemp -d)
XPID=""
cleanup() {
    if [ -n "$XPID" ]; then
        kill "$XPID" 2>/dev/null || true
        wait "$XPID" 2>/dev/null || true
    fi
    rm -rf "$D"
}
trap cleanup EXIT INT TERM
export HOME="$D/home" XDG_CONFIG_HOME="$D/home/.config" XDG_STATE_HOME="$D/home/.local/state"
export XDG_RUNTIME_DIR="$D/run"
mkdir -p "$XDG_CONFIG_HOME/zandrel" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cat >"$XDG_CONFIG_HOME/zandrel/defaults.json" <<'JSON'
{"tunnels": [{"connName": "db-tunnel", "connHost": "127.0.0.1", "connAuth": false},
             {"connName": "web", "connHost": "127.0.0.1", "connAuth": false}]}
JSON
cat >"$D/ssh" <<'SSH'
#!/bin/sh
echo 'debug1: Entering interactive session.' >&2
exec sleep 600
SSH
chmod +x "$D/ssh"
export ZANDREL_SSH_PROGRAM="$D/ssh"

# A display number of its own: the first free one from 90.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1366x768x24 -nolisten tcp >"$D/xvfb.log" 2>&1 &
XPID=$!
i=0
while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
export DISPLAY=":$n"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
# Qt speaks AT-SPI only when asked to or when a screen reader runs.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
# Not exec'd: the X server is ended on the way out.
status=0
dbus-run-session -- /usr/bin/python3 "$HERE/screen_reader_check.py" "$BUILD/zandrel" || status=$?
exit $status
