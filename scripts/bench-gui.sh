#!/bin/sh
# Builds the desktop program's benchmarks in Release and runs them on the offscreen platform;
# each prints its figures and target.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench-gui
build "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=ON -DZANDREL_TESTS=OFF -DZANDREL_BENCH=ON
export QT_QPA_PLATFORM=offscreen
status=0
for bench in GuiStartup GuiBurst; do
    "$dir/bench/gui/bench_$bench" || status=1
done
exit $status
