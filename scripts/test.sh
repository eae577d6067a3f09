#!/bin/sh
# Installs what is missing, builds everything and runs the whole test suite:
# first the engine and platform alone under AddressSanitizer and UBSan (no Qt in them),
# then the full build with the GUI, end-to-end tests included.
. "$(dirname "$0")/common.sh"
ensure_packages

build "$ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DZANDREL_GUI=OFF -DZANDREL_BENCH=OFF -DZANDREL_SANITIZE=ON
(cd "$ROOT/build-sanitize" && ctest --output-on-failure --timeout 300)

build "$ROOT/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDREL_BENCH=ON
(cd "$ROOT/build-test" && ctest --output-on-failure --timeout 300)
