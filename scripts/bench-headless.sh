#!/bin/sh
# Builds zandrel in Release and measures the headless mode's memory with 50 connected tunnels,
# then (as root, for their private sshd) how D-Bus answers while 50 tunnels reconnect at once, and
# what following the tunnels costs: threads, memory per tunnel and across reconnects, CPU per
# forwarded connection; and what ports held for a tunnel that starts when used cost beside bare ssh.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench-gui
build "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=ON -DZANDREL_TESTS=OFF -DZANDREL_BENCH=ON
"$ROOT/bench/headless/HeadlessMemory.sh" "$dir/zandrel" 50
if [ "$(id -u)" -eq 0 ]; then
    "$ROOT/tests/e2e/isolated.sh" "$ROOT/bench/headless/ReconnectLatency.sh" "$dir/zandrel" 50
    "$ROOT/tests/e2e/isolated.sh" dbus-run-session -- python3 "$ROOT/bench/headless/InsightCost.py" "$dir/zandrel" 50
    "$ROOT/tests/e2e/isolated.sh" dbus-run-session -- python3 "$ROOT/bench/headless/DemandCost.py" "$dir/zandrel"
else
    echo "ReconnectLatency, InsightCost, DemandCost: skipped (need root for their sshd)"
fi
