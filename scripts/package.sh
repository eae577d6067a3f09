#!/bin/sh
# Builds the Debian package: a Release build (in BUILD_DIR, default build-package; an existing
# build tree is reused and switched to Release), cpack's DEB generator, then the checks of
# scripts/check-package.sh (lintian's errors among them fail the run; its warnings are shown).
# Prints the package's path on its last line.
#   scripts/package.sh [BUILD_DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$ROOT/build-package}
for tool in dpkg-shlibdeps fakeroot lintian; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "package.sh: $tool is missing; run scripts/setup.sh as root" >&2
        exit 1
    }
done
if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZANDREL_TESTS=OFF -DZANDREL_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j2
(cd "$dir" && rm -f zandrel_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/zandrel_*.deb)
"$ROOT/scripts/check-package.sh" "$deb" >&2
echo "$deb"
