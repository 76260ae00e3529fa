#!/usr/bin/env bash
# Sets up, builds and runs every test: a warnings-as-errors build, then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# This build also cross-builds the Win32 units with mingw-w64 (build/windows)
# and its ctest runs their tests under wine (label windows).
scripts/build.sh build -DPELLORA_WERROR=ON
(cd build && ctest --output-on-failure -j2 --timeout 600)

scripts/build.sh build-asan -DPELLORA_WERROR=ON -DPELLORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ctest --output-on-failure -j2 --timeout 900 -LE 'fuzz|windows')

# libFuzzer targets (clang, sanitizers on), each run for a bounded time:
# PELLORA_FUZZ_SECONDS, 60 by default.
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPELLORA_FUZZ=ON -DPELLORA_SANITIZE=ON -DPELLORA_WERROR=ON -DPELLORA_FUZZ_SECONDS="${PELLORA_FUZZ_SECONDS:-60}" >/dev/null
cmake --build build-fuzz -j2 --target pellora_fuzz_targets
(cd build-fuzz && ctest --output-on-failure -j2 -L fuzz)
