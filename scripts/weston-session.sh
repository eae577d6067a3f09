#!/bin/sh
# Runs a command in a Wayland session of its own: weston's headless backend rendering with
# pixman (--debug, for weston-screenshooter and weston-debug), on a socket in a private runtime
# folder, with Qt's Wayland platform asked for. Exits with the command's status; weston ends with it.
#   scripts/weston-session.sh COMMAND [ARGUMENT...]
set -eu
[ $# -gt 0 ] || {
    echo "usage: weston-session.sh COMMAND [ARGUMENT...]" >&2
    exit 2
}
command -v weston >/dev/null 2>&1 || {
    echo "weston-session.sh: weston is missing; run scripts/setup.sh as root" >&2
    exit 1
}
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
weston --backend=headless-backend.so --use-pixman --width=1280 --height=800 --socket=wayland-zandrel \
    --idle-time=0 --debug >"$runtime/weston.log" 2>&1 &
weston=$!
trap 'kill $weston 2>/dev/null || true; wait $weston 2>/dev/null || true; rm -rf "$runtime"' EXIT
i=0
until [ -S "$runtime/wayland-zandrel" ]; do
    i=$((i + 1))
    if [ $i -ge 100 ] || ! kill -0 $weston 2>/dev/null; then
        echo "weston-session.sh: weston did not start:" >&2
        tail -5 "$runtime/weston.log" >&2
        exit 1
    fi
    sleep 0.1
done
# weston's headless backend has no seat, and Qt 6.4's Wayland text input then crashes at the
# first text field it draws (QWaylandInputDevice::textInput on no device); a session with a
# keyboard has one. The compose input method stands in.
export WAYLAND_DISPLAY=wayland-zandrel QT_QPA_PLATFORM=wayland QT_IM_MODULE=compose
unset DISPLAY
status=0
"$@" || status=$?
exit $status
