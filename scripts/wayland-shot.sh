#!/bin/sh
# Runs Zandrel in a Wayland session of its own (scripts/weston-session.sh) with a private session
# bus, settings and a stand-in ssh. Opens the tunnels window and Preferences, lets two tunnels ask
# (a password, an unknown host key), and takes a screenshot of each stage with
# weston-screenshooter once its windows are mapped. Fails when a window does not map, when Zandrel
# does not end as asked, or when Qt writes any message.
#   scripts/wayland-shot.sh [BUILD_DIR [OUT_DIR]]      (default: build, BUILD_DIR/wayland-shots)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$ROOT/build}" && pwd)
out=${2:-$build/wayland-shots}
for tool in weston-screenshooter weston-debug dbus-run-session; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "wayland-shot.sh: $tool is missing; run scripts/setup.sh as root" >&2
        exit 1
    }
done
[ -x "$build/zandrel" ] || {
    echo "wayland-shot.sh: no zandrel in $build" >&2
    exit 1
}

# Second stage, on the private bus.
if [ -n "${ZANDREL_SHOT_DIR:-}" ]; then
    t=$ZANDREL_SHOT_DIR
    unset ZANDREL_SHOT_DIR
    fail() {
        echo "wayland-shot.sh: $*" >&2
        sed 's/^/  zandrel: /' "$out/zandrel.log" >&2 || true
        exit 1
    }
    zandrel=
    trap 'kill $zandrel 2>/dev/null || true' EXIT
    ZANDREL_OPEN_PREFERENCES=2500 "$build/zandrel" >"$out/zandrel.log" 2>&1 &
    zandrel=$!
    # shot NAME TITLE...: once every window named is mapped (weston's scene graph lists each as
    # "top-level window 'TITLE' of APP_ID"; 15 s at most) and drawn, a screenshot.
    shot() {
        name=$1
        shift
        i=0
        while :; do
            timeout 1 weston-debug scene-graph >"$out/$name.scene" 2>/dev/null || true
            missing=
            for title in "$@"; do
                grep -q "top-level window '$title' of zandrel" "$out/$name.scene" || missing=$title
            done
            [ -n "$missing" ] || break
            i=$((i + 1))
            [ $i -lt 50 ] || fail "no window '$missing' is mapped (see $out/$name.scene)"
            sleep 0.3
        done
        sleep 0.5
        (cd "$t" && rm -f wayland-screenshot-*.png && weston-screenshooter >/dev/null 2>&1) ||
            fail "weston-screenshooter failed"
        mv "$t"/wayland-screenshot-*.png "$out/$name.png"
        echo "$out/$name.png"
    }
    i=0
    until "$build/zandrel" --list >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -lt 100 ] || fail "zandrel did not come up"
        sleep 0.1
    done
    shot tunnels Zandrel
    shot preferences 'Preferences — Zandrel'
    # The stand-in ssh of Asks and Host asks 2 s after it starts.
    for name in Asks Host; do "$build/zandrel" --start $name || fail "zandrel --start $name failed"; done
    shot prompts 'Asks — Zandrel' 'Host — Zandrel'
    "$build/zandrel" --quit || fail "zandrel --quit failed"
    wait $zandrel || fail "zandrel ended with status $?"
    zandrel=
    # Every line is Zandrel's own log: Qt said nothing (no warning about what Wayland refuses).
    if grep -v -E '^[0-9-]{10} [0-9:.]{12} zandrel: ' "$out/zandrel.log" >&2; then fail "Qt complained (above)"; fi
    exit 0
fi

mkdir -p "$out"
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
mkdir -m 700 "$t/config" "$t/config/zandrel"
cat >"$t/ssh" <<'SSH'
#!/bin/sh
[ "$1" = -F ] && exec /usr/bin/ssh "$@"
case $TUNNEL_NAME in
Asks) sleep 2; "$SSH_ASKPASS" "me@db.example's password: " >/dev/null ;;
Host) sleep 2; "$SSH_ASKPASS" "The authenticity of host 'web.example (127.0.0.1)' can't be established.
ED25519 key fingerprint is SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU.
Are you sure you want to continue connecting (yes/no/[fingerprint])? " >/dev/null ;;
esac
echo 'debug1: Entering interactive session.' >&2
exec sleep 600
SSH
chmod 755 "$t/ssh"
cat >"$t/config/zandrel/defaults.json" <<'JSON'
{"openPalette": true, "tunnels": [
 {"connName": "db", "connHost": "127.0.0.1", "connAuth": false, "autoConnect": true,
  "tunnelsLocal": [{"port": "8143", "host": "db.internal", "hostport": "5432"}]},
 {"connName": "Asks", "connHost": "127.0.0.1", "connUser": "me", "connAuth": true},
 {"connName": "Host", "connHost": "127.0.0.1", "connAuth": true}
]}
JSON
env -u DBUS_SESSION_BUS_ADDRESS ZANDREL_SHOT_DIR="$t" XDG_CONFIG_HOME="$t/config" XDG_STATE_HOME="$t/state" \
    ZANDREL_SSH_PROGRAM="$t/ssh" "$ROOT/scripts/weston-session.sh" dbus-run-session -- "$0" "$build" "$out"
