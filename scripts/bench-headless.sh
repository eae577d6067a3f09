#!/bin/sh
# Builds zandrel in Release and measures the headless mode's memory with 50 connected tunnels.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench-gui
build "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=ON -DZANDREL_TESTS=OFF -DZANDREL_BENCH=ON
exec "$ROOT/bench/headless/HeadlessMemory.sh" "$dir/zandrel" 50
