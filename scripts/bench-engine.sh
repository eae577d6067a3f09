#!/bin/sh
# Builds the engine's benchmarks in Release and runs them; each prints its figures and target.
# The idle-cost benchmark talks to a real sshd and so runs in the private ~/.ssh namespace.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench
build "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=OFF -DZANDREL_TESTS=ON -DZANDREL_BENCH=ON
bin=$dir/bench/engine
status=0
for bench in StatusLatency RestartTiming ResidentMemory SaveTunnels; do
    "$bin/bench_$bench" || status=1
done
"$ROOT/tests/e2e/isolated.sh" "$bin/bench_IdleCost" || status=1
exit $status
