#!/bin/sh
# Checks that every C++ source of ours is formatted as the checked-in .clang-format says.
# Usage: tests/format_check.sh [SOURCE_DIR]   (exit status 1 lists the files that differ)
set -eu
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
command -v clang-format >/dev/null || { echo "format_check: clang-format is not installed" >&2; exit 2; }
bad=0
# The sources git tracks; a tree without git (an unpacked release) has its own build folders
# to leave out.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files '*.cpp' '*.h' '*.c')
else
  files=$(find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print)
fi
for f in $files; do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then
    echo "not formatted: $f"
    bad=1
  fi
done
exit $bad
