#!/bin/sh
# Builds the engine's benchmarks in Release and runs them; each prints its figures and target.
# The idle-cost, recovery and reconnect-burst benchmarks talk to a real sshd and so run in the
# private ~/.ssh namespace; the dead-link one waits up to a minute for the keep-alive to give up;
# the unpaced burst is the comparison without the limit on handshakes per server.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench
build "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=OFF -DZANDREL_TESTS=ON -DZANDREL_BENCH=ON
bin=$dir/bench/engine
status=0
for bench in StatusLatency RestartTiming ResidentMemory SaveTunnels; do
    "$bin/bench_$bench" || status=1
done
for args in IdleCost Recovery "Recovery --dead-link" ReconnectBurst "ReconnectBurst --unpaced"; do
    # shellcheck disable=SC2086
    "$ROOT/tests/e2e/isolated.sh" $bin/bench_$args || status=1
done
exit $status
