#!/bin/sh
# Installs what is missing (through sudo when not root), builds Zandrel and starts it.
. "$(dirname "$0")/common.sh"
ensure_packages
build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDREL_TESTS=OFF -DZANDREL_BENCH=OFF
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    # Started with sudo: the tunnels, settings and ssh keys are the desktop user's, not root's.
    exec sudo -u "$SUDO_USER" \
        --preserve-env=DISPLAY,WAYLAND_DISPLAY,XAUTHORITY,DBUS_SESSION_BUS_ADDRESS,XDG_RUNTIME_DIR \
        "$ROOT/build/zandrel" "$@"
fi
exec "$ROOT/build/zandrel" "$@"
