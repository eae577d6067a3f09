#!/bin/sh
# Headless memory: zandrel --headless with 50 connected tunnels, the whole process's
# proportional memory (Pss of /proc/PID/smaps_rollup). Target: under 12 MB, so that from about
# 120 tunnels on Zandrel costs less than 50 autossh processes' 117 KiB each.
# Usage: HeadlessMemory.sh ZANDREL_BINARY [TUNNELS]
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
    rm -rf "$dir"
}
trap cleanup EXIT
# Each ssh says it is connected and waits; its own memory is not Zandrel's.
printf '#!/bin/sh\necho "debug1: Entering interactive session." >&2\nexec sleep 600\n' >"$dir/ssh"
chmod 755 "$dir/ssh"
mkdir -p "$dir/config/zandrel"
{
    printf '{"tunnels":['
    i=1
    while [ "$i" -le "$n" ]; do
        [ "$i" -gt 1 ] && printf ','
        printf '{"connName":"t%d","connHost":"127.0.0.1","connAuth":false,"autoConnect":true,' "$i"
        printf '"tunnelsLocal":[{"port":"%d","host":"127.0.0.1","hostport":"22"}]}' $((20000 + i))
        i=$((i + 1))
    done
    printf ']}\n'
} >"$dir/config/zandrel/defaults.json"
export XDG_CONFIG_HOME="$dir/config" ZANDREL_SSH_PROGRAM="$dir/ssh"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
"$bin" --headless 2>"$dir/log" &
pid=$!
tries=0
until [ "$("$bin" --list 2>/dev/null | grep -c "	Connected	" || true)" -eq "$n" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
        echo "HeadlessMemory: the tunnels did not all connect" >&2
        exit 1
    fi
    sleep 0.1
done
sleep 1
pss=$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup")
rss=$(awk '/^Rss:/ {print $2}' "/proc/$pid/smaps_rollup")
# Where it goes: the ten largest shares by mapping (anonymous memory as "[anon]").
awk '/^[0-9a-f]+-[0-9a-f]+ / { name = (NF >= 6 ? $6 : "[anon]") } /^Pss:/ { sum[name] += $2 }
    END { for (n in sum) printf "%8d KiB  %s\n", sum[n], n }' "/proc/$pid/smaps" | sort -rn | head -10
# The target is for 50 tunnels; other counts show the cost per tunnel.
awk -v pss="$pss" -v rss="$rss" -v n="$n" 'BEGIN {
    printf "HeadlessMemory: %d connected tunnels: Pss %.1f MB (Rss %.1f MB)", n, pss / 1024, rss / 1024
    if (n == 50) printf "; target < 12 MB: %s", (pss < 12 * 1024 ? "met" : "NOT met")
    printf "\n"
}'
