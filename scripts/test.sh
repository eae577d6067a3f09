#!/bin/sh
# Installs what is missing, builds everything and runs the whole test suite:
# first the engine and platform alone under AddressSanitizer and UBSan (no Qt in them), then
# their lifecycle tests under ThreadSanitizer, then the full build with the GUI in Release (-O3,
# whose warnings -Werror turns into errors too), end-to-end tests included, and the Debian
# package built from it and checked, then a minute of each libFuzzer harness, and last the
# format check.
. "$(dirname "$0")/common.sh"
ensure_packages

build "$ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DZANDREL_GUI=OFF -DZANDREL_BENCH=OFF -DZANDREL_SANITIZE=address
(cd "$ROOT/build-sanitize" && ctest --output-on-failure --timeout 300)

# The engine loop, the child processes and the notifications, watched for data races.
build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDREL_GUI=OFF -DZANDREL_BENCH=OFF -DZANDREL_SANITIZE=thread
(cd "$ROOT/build-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --output-on-failure --timeout 300 -R '^(platform_unit|engine_unit|engine_lifecycle)$')

build "$ROOT/build-test" -DCMAKE_BUILD_TYPE=Release -DZANDREL_BENCH=ON
(cd "$ROOT/build-test" && ctest --output-on-failure --timeout 300)

# The Debian package from the same Release tree, checked (scripts/check-package.sh) as a fresh
# machine would meet it.
"$ROOT/scripts/package.sh" "$ROOT/build-test" >/dev/null

"$ROOT/scripts/fuzz.sh"

"$ROOT/scripts/check-format.sh"
