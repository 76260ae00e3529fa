#!/usr/bin/env bash
# test_readme_paths.sh BUILD: every program path under build/ that README.md
# names exists in a built tree (packages and the Windows-only tree excepted).
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
missing=0 checked=0
for path in $(grep -o 'build/[A-Za-z0-9_./-]*[A-Za-z0-9_]' "$root/README.md" | sort -u); do
  case $path in *.deb|*.exe|build/windows*|build/server-state*) continue ;; esac
  checked=$((checked + 1))
  [ -e "$build/${path#build/}" ] || { echo "FAIL: README names $path, the build has no ${path#build/}" >&2; missing=1; }
done
[ "$checked" -ge 3 ] || { echo "FAIL: only $checked paths found in README.md" >&2; exit 1; }
[ "$missing" = 0 ] && echo "README paths ok ($checked)"
