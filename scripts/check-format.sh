#!/bin/sh
# Fails when a tracked C++ file differs from what clang-format makes of it (.clang-format),
# naming each such file. Fix with: git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null 2>&1 || {
    echo "check-format.sh: clang-format is missing (scripts/setup.sh installs it)" >&2
    exit 1
}
differ=0
for f in $(git ls-files '*.cpp' '*.h'); do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
        echo "check-format.sh: $f differs from clang-format's output" >&2
        differ=$((differ + 1))
    fi
done
if [ "$differ" -gt 0 ]; then
    echo "check-format.sh: $differ file(s) to format" >&2
    exit 1
fi
echo "check-format.sh: every C++ file is formatted"
