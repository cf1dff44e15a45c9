#!/bin/sh
# Checks that every C++ source of ours is formatted as the checked-in .clang-format says.
# Usage: tests/format_check.sh [SOURCE_DIR]   (exit status 1 lists the files that differ)
set -eu
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
command -v clang-format >/dev/null || { echo "format_check: clang-format is not installed" >&2; exit 2; }
bad=0
for f in $(git ls-files '*.cpp' '*.h' '*.c'); do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then
    echo "not formatted: $f"
    bad=1
  fi
done
exit $bad
