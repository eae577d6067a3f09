#!/bin/sh
# Checks a built package as a machine meets it, so that a broken one fails CI: its name, its
# control fields (Depends), where its files go, lintian's errors, apt's resolution of its
# dependencies, the extracted program's --version and, where a mount namespace can be had, an
# install and removal with apt in a throwaway copy of this system (an overlay over /, dropped at
# the end).
#   scripts/check-package.sh zandrel_VERSION_ARCH.deb
set -eu
[ $# -eq 1 ] && [ -f "$1" ] || {
    echo "usage: check-package.sh zandrel_VERSION_ARCH.deb" >&2
    exit 2
}
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
fail() {
    echo "check-package.sh: $*" >&2
    exit 1
}
field() { dpkg-deb -f "$deb" "$1"; }

version=$(field Version)
[ "$(field Package)" = zandrel ] || fail "the package is named $(field Package)"
[ "$(basename "$deb")" = "zandrel_${version}_$(field Architecture).deb" ] || fail "$(basename "$deb") is misnamed"
depends=$(field Depends)
for d in openssh-client dbus qt6-wayland qt6-qpa-plugins libqt6svg6 libqt6widgets6 libqt6dbus6 libsecret-1-0 libc6; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | grep -qx "$d" || fail "Depends lacks $d: $depends"
done

files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|')
for f in /usr/bin/zandrel /usr/libexec/zandrel/zandrel-desktop /usr/share/zandrel/askForPass.sh \
    /usr/share/zandrel/ssh /usr/share/zandrel/Info.json /usr/share/zandrel/strings/en.strings \
    /usr/share/zandrel/images/onState.svg /usr/share/applications/zandrel.desktop \
    /usr/share/metainfo/org.zandrel.Zandrel.metainfo.xml /usr/share/icons/hicolor/scalable/apps/zandrel.svg \
    /usr/lib/systemd/user/zandrel.service /usr/share/dbus-1/interfaces/org.zandrel.Zandrel.xml \
    /usr/share/doc/zandrel/copyright /usr/share/doc/zandrel/changelog.gz /usr/share/man/man1/zandrel.1.gz \
    /usr/share/mime/packages/org.zandrel.Zandrel.xml; do
    echo "$files" | grep -qx "$f" || fail "$f is not in the package"
done
outside=$(echo "$files" | grep -v -e '^/$' -e '^/usr/' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

# Its warnings and notes are shown; errors fail.
lintian --fail-on error --tag-display-limit 0 "$deb" >&2 || fail "lintian reports errors (above)"
apt-get install --simulate "$deb" 2>&1 | grep -q '^Inst zandrel ' || {
    apt-get install --simulate "$deb" >&2 || true
    fail "apt cannot resolve the package's dependencies"
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg -x "$deb" "$tmp/x"
out=$("$tmp/x/usr/bin/zandrel" --version) || fail "the extracted zandrel --version failed"
case $out in "zandrel $version "*) ;; *) fail "the extracted zandrel says \"$out\", not $version" ;; esac
grep -qx 'ExecStart=/usr/bin/zandrel --headless' "$tmp/x/usr/lib/systemd/user/zandrel.service" ||
    fail "the user unit does not start /usr/bin/zandrel"
desktop-file-validate "$tmp/x/usr/share/applications/zandrel.desktop" || fail "the desktop entry is invalid"

# The throwaway install: dpkg's own checks, the maintainer's view of the files, then the installed
# program run from /usr and its desktop part opening Qt's offscreen platform; then removal.
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    mkdir "$tmp/root"
    cp "$deb" "$tmp/zandrel.deb"
    unshare --mount --propagation private sh -eu -c '
        t=$1
        mount -t tmpfs zandrel-pkg "$t/root"
        mkdir "$t/root/upper" "$t/root/work" "$t/root/merged"
        mount -t overlay overlay -o "lowerdir=/,upperdir=$t/root/upper,workdir=$t/root/work" "$t/root/merged"
        m=$t/root/merged
        for d in proc sys dev; do mount --rbind "/$d" "$m/$d"; done
        mount -t tmpfs zandrel-pkg-tmp "$m/tmp"
        cp "$t/zandrel.deb" "$m/tmp/"
        chroot "$m" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/zandrel.deb >/dev/null
        chroot "$m" dpkg -s zandrel | grep -q "^Status: install ok installed"
        chroot "$m" zandrel --version | grep -q "^zandrel $2 "
        mkdir -m 700 "$m/tmp/runtime"
        chroot "$m" env ZANDREL_DISPLAY_PROBE=1 QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime \
            /usr/libexec/zandrel/zandrel-desktop
        chroot "$m" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q zandrel >/dev/null
        [ ! -e "$m/usr/bin/zandrel" ] && [ ! -e "$m/usr/share/zandrel" ]
    ' sh "$tmp" "$version" || fail "installing into a throwaway root failed"
else
    echo "check-package.sh: no mount namespace here; the throwaway install is skipped" >&2
fi
echo "check-package.sh: $(basename "$deb") is sound"
