#!/bin/sh
# Installs every Debian 12 package needed to build, run and test Zandrel. Run as root; safe to repeat.
set -eu
# Build: compiler, CMake, Qt (libgl-dev for Qt's Gui package), QtKeychain, libsecret (labelled
# keyring items; QtKeychain loads it too), JSON, GoogleTest, clang-format (scripts/check-format.sh),
# clang with its libFuzzer runtime (scripts/fuzz.sh), Qt's lupdate and lrelease with their CMake
# package, and Qt's own translations (loaded beside Zandrel's).
# Tests: ssh and sshd, a session bus, GNOME Keyring, desktop-file-validate, xdg-mime and
# update-mime-database and gio (the tunnel files' type, as GNOME reads it), appstreamcli (the
# metainfo check), unshare (util-linux), a font for offscreen widgets, an X server and xcb for the
# late-tray test; the accessibility bus and pyatspi (what a screen reader hears); weston (a
# headless Wayland compositor) and Qt's Wayland plugin for the Wayland run
# (scripts/wayland-shot.sh); the X11 platform and SVG plugins the package depends on.
# Package: dpkg-dev and fakeroot (CPack's shared-library dependencies, dpkg-shlibdeps), lintian
# (scripts/package.sh checks what it builds).
PKGS="build-essential cmake ninja-build pkg-config git clang-format clang libclang-rt-14-dev
qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev qtkeychain-qt6-dev libsecret-1-dev
qt6-l10n-tools qt6-tools-dev qt6-translations-l10n
nlohmann-json3-dev libgtest-dev
openssh-client openssh-server dbus dbus-bin gnome-keyring libsecret-1-0
desktop-file-utils xdg-utils shared-mime-info libglib2.0-bin appstream util-linux fonts-dejavu-core xvfb libxcb1-dev
at-spi2-core python3-pyatspi
weston qt6-wayland qt6-qpa-plugins libqt6svg6
dpkg-dev fakeroot lintian"
if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: run as root (sudo $0)" >&2
    exit 1
fi
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi
echo "setup.sh: all packages present"
