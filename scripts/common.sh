# Shared by start.sh and test.sh: install what is missing, then configure and build.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)

ensure_packages() {
    if [ "$(id -u)" -eq 0 ]; then
        "$ROOT/scripts/setup.sh"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$ROOT/scripts/setup.sh"
    else
        echo "Zandrel: run scripts/setup.sh as root first (no sudo here)" >&2
        exit 1
    fi
}

# build DIR [cmake options...]
build() {
    dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j2
}
