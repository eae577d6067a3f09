#!/bin/sh
# Builds the libFuzzer harnesses (tests/fuzz) with clang and runs each for FUZZ_SECONDS (60) from
# its seeds in tests/fuzz/corpus/NAME, under AddressSanitizer, UBSan and LeakSanitizer. Fails on
# any crash, leak, hang (10 s for one input), memory past 2 GiB or sanitizer report, keeping the
# input that did it; prints libFuzzer's closing counts for each. Build folder: FUZZ_BUILD_DIR
# (default build-fuzz).
. "$(dirname "$0")/common.sh"
seconds=${FUZZ_SECONDS:-60}
dir=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
# Warnings are the gcc builds' gate (test.sh); clang's own ones do not stop the fuzzing.
build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DZANDREL_GUI=OFF \
    -DZANDREL_BENCH=OFF -DZANDREL_TESTS=OFF -DZANDREL_SANITIZE=OFF -DZANDREL_WERROR=OFF -DZANDREL_FUZZ=ON

failed=0
for seeds in "$ROOT"/tests/fuzz/corpus/*/; do
    name=$(basename "$seeds")
    harness="$dir/tests/fuzz/fuzz_$name"
    if [ ! -x "$harness" ]; then
        echo "fuzz.sh: corpus $name has no harness fuzz_$name" >&2
        failed=1
        continue
    fi
    # What the run finds goes to a scratch folder; the committed seeds stay as they are.
    work=$(mktemp -d "${TMPDIR:-/tmp}/zandrel-fuzz-$name.XXXXXX")
    rc=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work" "$seeds" >"$work/log" 2>&1 || rc=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
        "$work/log" | sed "s/^/fuzz $name: /"
    if [ "$rc" -ne 0 ] || grep -qE '^(==[0-9]+== ?)?ERROR: |runtime error: |^SUMMARY: ' "$work/log"; then
        tail -n 80 "$work/log" >&2
        echo "fuzz.sh: fuzz_$name failed (exit $rc); its log and input are in $work" >&2
        failed=1
    else
        rm -rf "$work"
    fi
done
[ "$failed" -eq 0 ] || exit 1
echo "fuzz.sh: every harness ran ${seconds} s without a fault"
