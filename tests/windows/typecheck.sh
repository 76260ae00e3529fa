#!/usr/bin/env bash
# typecheck.sh COMPILER ARGS: type-checks for Windows every source that ARGS
# lists (one argument per line: -I and -D flags, then the .cpp files).
set -uo pipefail
cxx=$1
mapfile -t args <"$2"
flags=() sources=()
for a in "${args[@]}"; do
  # The host's own system headers would shadow mingw's.
  case $a in -I/usr/include) ;; -*) flags+=("$a") ;; *.cpp) sources+=("$a") ;; esac
done
# Qt's headers here are built for Linux; their dllimport declarations only
# warn under mingw and say nothing about our code.
flags+=(-std=c++17 -fsyntax-only -DWIN32 -DUNICODE -D_UNICODE -Wall -Wextra -Werror -Wno-attributes)
failed=0
for f in "${sources[@]}"; do
  "$cxx" "${flags[@]}" "$f" || { echo "FAIL: $f does not type-check for Windows" >&2; failed=$((failed + 1)); }
done
echo "windows type-check: $((${#sources[@]} - failed)) of ${#sources[@]} files"
[ "${#sources[@]}" -gt 0 ] && [ "$failed" = 0 ]
