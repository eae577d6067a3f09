#!/bin/sh
# Runs a command in a network namespace of its own, where only loopback exists (brought up), so
# that a test may listen on every address and still reach no network; runs it as it is when no
# such namespace can be made here (the tests then skip what needs it).
#   offline.sh COMMAND [ARGUMENT...]
set -eu
if [ "${ZANDREL_OFFLINE_INSIDE:-}" = 1 ]; then
    unset ZANDREL_OFFLINE_INSIDE
    ip link set lo up
    exec "$@"
fi
if command -v ip >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
    ZANDREL_OFFLINE_INSIDE=1 exec unshare -n -- /bin/sh "$0" "$@"
fi
exec "$@"
