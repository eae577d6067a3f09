#!/bin/sh
# Installs what is missing, builds Zandrel and starts it.
. "$(dirname "$0")/common.sh"
ensure_packages
build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDREL_TESTS=OFF -DZANDREL_BENCH=OFF
exec "$ROOT/build/zandrel" "$@"
