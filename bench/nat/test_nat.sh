#!/usr/bin/env bash
# test_nat.sh BUILD_DIR: the smallest part of the NAT matrix. Two port-restricted
# NATs, and two symmetric ones, deliver pings over the relay across the
# delayed links; cutting what would be their direct path leaves the relay up.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$("$here/run.sh" --no-build --build "$1" --pairs port-restricted/port-restricted,symmetric/symmetric \
    --window 3 --break always)
status=$?
echo "$out"
((status == 77)) && exit 77
fail() { echo "test_nat: $*"; exit 1; }
((status == 0)) || fail "run.sh ended with $status"

# The pair's value of KEY.
value() { grep "^pair=$1 " <<<"$out" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
at_least() { awk -v v="$1" -v min="$2" 'BEGIN { exit !(v != "" && v != "-" && v + 0 >= min) }'; }

# Through the relay until the clients can reach each other directly.
declare -A expected_path=([port-restricted/port-restricted]=relayed [symmetric/symmetric]=relayed)
for pair in "${!expected_path[@]}"; do
    [[ $(value "$pair" delivered) == yes ]] || fail "$pair: no pings delivered"
    [[ $(value "$pair" path) == "${expected_path[$pair]}" ]] || fail "$pair: path $(value "$pair" path)"
    [[ $(value "$pair" lost) == 0/* ]] || fail "$pair: pings lost"
    # Two 20 ms links each way between a player and the relay.
    [[ ${expected_path[$pair]} != relayed ]] || at_least "$(value "$pair" rtt_relayed_ms)" 80 ||
        fail "$pair: relayed round trip $(value "$pair" rtt_relayed_ms) ms is under 4 x 20 ms"
    awk -v f="$(value "$pair" fallback_s)" 'BEGIN { exit !(f != "-" && f + 0 <= 7) }' ||
        fail "$pair: back on the relay after $(value "$pair" fallback_s) s"
done
links=$(grep '^nat: link round trips' <<<"$out")
[[ $links =~ server\ ([0-9.]+)\ ms.*NAT\ ([0-9.]+)\ ms ]] || fail "no link round trips"
at_least "${BASH_REMATCH[1]}" 40 && ! at_least "${BASH_REMATCH[1]}" 60 && at_least "${BASH_REMATCH[2]}" 10 && ! at_least "${BASH_REMATCH[2]}" 20 ||
    fail "the delayed links give $links"
grep -qE '^nat: direct [0-9]+ of 1 pairs expected direct; symmetric pairs relayed 1 of 1; pings lost while switching 0; fallback max [0-9.]+ s$' <<<"$out" ||
    fail "last line: $(tail -1 <<<"$out")"
echo "test_nat: passed"
