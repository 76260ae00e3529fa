#!/usr/bin/env bash
# line_length.sh ROOT: no C++ line in the tree is longer than the ColumnLimit
# of the repo's own .clang-format (counted in characters, as clang-format does).
set -euo pipefail
root=$1
limit=$(awk '/^ColumnLimit:/ {print $2}' "$root/.clang-format")
[ -n "$limit" ] || { echo "FAIL: no ColumnLimit in .clang-format" >&2; exit 1; }
cd "$root"
dirs=()
for d in app lobby net ui features protocol server tests bench scripts; do [ -d "$d" ] && dirs+=("$d"); done
long=$(find "${dirs[@]}" \( -name '*.cpp' -o -name '*.h' \) -print0 |
  LC_ALL=C.UTF-8 xargs -0 grep -nE "^.{$((limit + 1)),}" || true)
if [ -n "$long" ]; then
  cut -c1-160 <<<"$long" >&2
  echo "FAIL: $(wc -l <<<"$long") lines longer than $limit columns (clang-format --lines=N:N FILE wraps one)" >&2
  exit 1
fi
echo "line length ok (limit $limit)"
