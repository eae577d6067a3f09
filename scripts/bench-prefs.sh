#!/bin/sh
# Builds the preferences editor's benchmark in Release and runs it on the offscreen platform.
. "$(dirname "$0")/common.sh"
dir=$ROOT/build-bench-prefs
cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZANDREL_GUI=ON -DZANDREL_TESTS=OFF -DZANDREL_BENCH=ON
cmake --build "$dir" -j2 --target bench_PrefsSave zandrel_resources
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$dir/bench/prefs/bench_PrefsSave"
