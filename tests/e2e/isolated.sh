#!/bin/sh
# Runs a command in a private mount namespace with an empty tmpfs (mode 0700) over ~/.ssh, so that
# nothing the command does reads or writes the user's own ssh keys, known_hosts or config, and
# in a PID namespace of its own with a tmpfs over /tmp (TMPDIR and XDG_RUNTIME_DIR inside it):
# when the command ends, or is killed midway, every daemon it started (sshd, ssh-agent, askpass)
# dies with the namespace and its temporary folders vanish with the tmpfs. With
# ZANDREL_ISOLATED_NETWORK=1 also in a network namespace of its own with only lo up, so that a
# socket bound to all interfaces reaches no real network.
# Exits with the command's status, or 77 (ctest's skip code) when no such namespace can be made.
#   isolated.sh COMMAND [ARGUMENT...]
set -eu

skip() {
    echo "isolated.sh: $*; skipping (exit 77)" >&2
    exit 77
}

if [ $# -eq 0 ]; then
    echo "usage: isolated.sh COMMAND [ARGUMENT...]" >&2
    exit 2
fi

# Second stage, inside the new namespace: mount, check, run.
if [ -n "${ZANDREL_ISOLATED_SSH_DIR:-}" ]; then
    dir=$ZANDREL_ISOLATED_SSH_DIR
    outer=${ZANDREL_ISOLATED_OUTER_NS:-}
    unset ZANDREL_ISOLATED_SSH_DIR ZANDREL_ISOLATED_OUTER_NS
    # Never mount in the namespace we were started in (a stray variable must not hide ~/.ssh).
    [ -n "$outer" ] && [ "$(readlink /proc/self/ns/mnt)" != "$outer" ] || skip "not inside a new mount namespace"
    [ "$$" -eq 1 ] || skip "not the first process of a new PID namespace"
    mount -t tmpfs -o mode=0700,size=16m zandrel-ssh "$dir" || skip "cannot mount a tmpfs on $dir"
    [ "$(stat -f -c %T "$dir")" = tmpfs ] || skip "$dir is not a tmpfs after mounting"
    # A build under /tmp must stay visible: then the tmpfs goes on a folder of its own instead.
    tmp=${ZANDREL_ISOLATED_TMP:-/tmp}
    unset ZANDREL_ISOLATED_TMP
    mount -t tmpfs -o mode=1777,size=256m zandrel-tmp "$tmp" || skip "cannot mount a tmpfs on $tmp"
    export TMPDIR=$tmp XDG_RUNTIME_DIR=$tmp/runtime
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    if [ -n "${ZANDREL_ISOLATED_NETWORK:-}" ]; then
        ip link set lo up || skip "cannot bring lo up in the private network namespace"
    fi
    if [ -n "${ZANDREL_ISOLATED_UID:-}" ]; then
        # Root of a user namespace only for the mounts: the command runs as the user again, in a
        # nested namespace that maps the user's ids back and holds no capabilities.
        uid=$ZANDREL_ISOLATED_UID gid=$ZANDREL_ISOLATED_GID
        unset ZANDREL_ISOLATED_UID ZANDREL_ISOLATED_GID
        set -- unshare -U --map-user="$uid" --map-group="$gid" -- "$@"
    fi
    # Not exec: this shell stays the namespace's init, so orphans are reparented to it rather
    # than to the command, whose own children are all the tests should see.
    status=0
    "$@" || status=$?
    exit "$status"
fi

command -v unshare >/dev/null 2>&1 || skip "unshare (util-linux) is missing"
uid=$(id -u)
gid=$(id -g)
# The password database names the home, not $HOME: a test run with another $HOME must still
# not reach the real ~/.ssh.
home=$(getent passwd "$uid" | cut -d: -f6)
[ -n "$home" ] && [ -d "$home" ] || skip "no home directory for uid $uid"
dir=$home/.ssh
if [ ! -d "$dir" ]; then
    mkdir -m 700 "$dir" || skip "cannot create $dir"
fi
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
export ZANDREL_ISOLATED_SSH_DIR="$dir"
ZANDREL_ISOLATED_OUTER_NS=$(readlink /proc/self/ns/mnt)
export ZANDREL_ISOLATED_OUTER_NS

for path in "$PWD" "$(command -v "$1" || true)" "$@"; do
    case $path in /tmp/*) under_tmp=1 ;; esac
done
if [ -n "${under_tmp:-}" ]; then
    ZANDREL_ISOLATED_TMP=$(mktemp -d /tmp/zandrel-ns.XXXXXX) || skip "cannot make a folder in /tmp"
    export ZANDREL_ISOLATED_TMP
fi
# Runs the namespace; the empty mount point of a build under /tmp goes with it.
run() {
    status=0
    unshare "$@" || status=$?
    [ -n "${ZANDREL_ISOLATED_TMP:-}" ] && rmdir "$ZANDREL_ISOLATED_TMP" 2>/dev/null
    exit "$status"
}

# --kill-child: when unshare is killed (a test time limit), the namespace's init gets SIGKILL,
# and with it every process of the namespace.
ns="-m --propagation private -p -f --mount-proc --kill-child"
[ -n "${ZANDREL_ISOLATED_NETWORK:-}" ] && ns="$ns -n"
# shellcheck disable=SC2086
if [ "$uid" -eq 0 ] && unshare $ns true 2>/dev/null; then
    run $ns -- /bin/sh "$script" "$@"
fi
# A normal user (or root without CAP_SYS_ADMIN): a user namespace where it may mount. Plain
# --map-current-user is not enough: the mapped uid is not 0 there, so exec drops the capabilities.
# shellcheck disable=SC2086
if unshare -U -r $ns true 2>/dev/null; then
    export ZANDREL_ISOLATED_UID="$uid" ZANDREL_ISOLATED_GID="$gid"
    run -U -r $ns -- /bin/sh "$script" "$@"
fi
[ -n "${ZANDREL_ISOLATED_TMP:-}" ] && rmdir "$ZANDREL_ISOLATED_TMP"
skip "unshare cannot make private mount and PID namespaces here (as root it needs CAP_SYS_ADMIN; as a user, unprivileged user namespaces)"
