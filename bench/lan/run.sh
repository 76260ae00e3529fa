#!/usr/bin/env bash
# bench/lan/run.sh [lanbench.py options]: the virtual LAN against n2n, tinc
# plain routing and a floor tunnel, in network namespaces (as root).
# Installs the peers it compares with, builds, then runs bench/lan/lanbench.py.
# PELLORA_BENCH_BUILD names the build folder (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
PELLORA_EXTRA_PACKAGES="${PELLORA_EXTRA_PACKAGES:-} python3 iperf3 n2n tinc linux-perf" scripts/setup.sh
dir=${PELLORA_BENCH_BUILD:-build}
scripts/build.sh "$dir"
exec python3 bench/lan/lanbench.py --build "$dir" "$@"
