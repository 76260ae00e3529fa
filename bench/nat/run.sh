#!/usr/bin/env bash
# bench/nat/run.sh [options]: two real clients behind NATs of every kind, in
# network namespaces (as root). See --help. Every address used lives in the
# namespaces made here (pnat-<pid>-*), which are removed on exit, also on
# failure or interrupt.
#
# Per pair of NAT types:
#
#   player a -- NAT a --[direct/2]--+
#                                   +-- "internet" --[relay - direct/2]-- server
#   player b -- NAT b --[direct/2]--+
#
# ([MS]: a link delayed MS each way), so that a player reaches the server in
# `relay` ms and the other player in `direct` ms, one way. The delays come
# from pellora-delaylink (a TUN pair per link), the NATs from nftables. Before its first pair each NAT kind is
# checked from behind with pellora-natprobe against a reflector on two public
# addresses. The clients are the e2e driver (tests/e2e/driver.cpp), each in
# its player's namespace, joined to one layer-3 room on pellora-server; a
# ping across the virtual LAN measures every round trip.
#
# The path is what the pings measure: a reply faster than halfway between
# the direct and the relayed round trip came the direct way. When the
# driver's status carries "paths" ({"<virtual IP>": "direct"|"relayed"}), the
# client's own word is printed beside it, and a disagreement fails the run.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/nat/run.sh [options]   (as root)
  --build DIR         build folder (default: build); the programs are built in it
                      unless --no-build
  --no-build          use the programs already built
  --pairs LIST        comma-separated pairs, each A/B (two NATs), shared:TYPE
                      (both players behind one NAT) or ipv6:TYPE (two NATs of TYPE for
                      IPv4, and global IPv6 addresses behind firewalls that let in only
                      answers); TYPE is one of
                      full-cone address-restricted port-restricted symmetric udp-blocked
                      (default: every pair of two types, then shared:port-restricted),
                      or symmetric-upnp: a symmetric NAT whose router runs miniupnpd, so
                      that its player forwards its port there (never in the default)
  --relay-ms MS       one-way delay from a player to the server (default 20)
  --direct-ms MS      one-way delay between the two players' NATs (default 5)
  --window S          seconds of pings from the moment both players are in the room (default 6;
                      at least 16 for a birthday pair: a port-restricted NAT with a symmetric one)
  --repeat N          run the list of pairs N times over (default 1)
  --break WHEN        direct|always|never: cut a pair's direct path (player a drops all
                      traffic to and from player b's addresses) and time the fall back
                      to the relay; "direct" (default) only for pairs measured direct
  --idle S            leave each pair idle S seconds (NAT UDP timeout 30 s), then
                      measure its path again (default 0: not done)
  --flush             flush player a's NAT's conntrack table under 8 s of pings and
                      report the pings lost and the path after it
  --rebind KIND       all|udp: under 6 s of pings player b's NAT (a's when both share one)
                      moves to a second public address and forgets the mappings it moves:
                      "all" moves everything (its player's connection to the server breaks),
                      "udp" only UDP (TCP keeps the first address, as with separate address
                      pools); reports the pings lost in seconds and the path after it
  --require-targets   fail unless every expected pair went direct, symmetric pairs stayed
                      relayed, no ping was lost while switching, fallbacks took <= 7 s and
                      a rebind lost at most 2 s of pings
  -h, --help          this text
Prints one line per NAT kind checked, one per pair, and a last line:
  nat: direct D of E pairs expected direct; hard pairs direct H of K (birthday, mapping, IPv6);
    symmetric pairs relayed R of S; pings lost while switching L; fallback max F s
(hard pairs: those hole punching over IPv4 cannot pass, here with a birthday probe, a router's
forwarded port or IPv6)
(followed by "; rebind loss max B s" with --rebind)
Exit status: 0 when every pair delivered its pings and every NAT behaved as its
kind says, 1 otherwise, 77 when this machine cannot run it (not root, no
nftables, namespaces or TUN).
EOF
}

root=$(cd "$(dirname "$0")/../.." && pwd)
build=build
do_build=1
pairs=""
relay_ms=20
direct_ms=5
window=6
break_when=direct
flush=0
idle=0
rebind=none
require_targets=0
repeat=1
while (($#)); do
    case $1 in
    --build) build=${2:?}; shift ;;
    --no-build) do_build=0 ;;
    --pairs) pairs=${2:?}; shift ;;
    --relay-ms) relay_ms=${2:?}; shift ;;
    --direct-ms) direct_ms=${2:?}; shift ;;
    --window) window=${2:?}; shift ;;
    --break) break_when=${2:?}; shift ;;
    --flush) flush=1 ;;
    --rebind) rebind=${2:?}; shift ;;
    --idle) idle=${2:?}; shift ;;
    --require-targets) require_targets=1 ;;
    --repeat) repeat=${2:?}; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
number='^[0-9]+([.][0-9]+)?$'
for v in "$relay_ms" "$direct_ms" "$window" "$idle"; do
    [[ $v =~ $number ]] || { echo "run.sh: not a number: $v" >&2; exit 2; }
done
[[ $repeat =~ ^[1-9][0-9]?$ ]] || { echo "run.sh: --repeat 1 to 99" >&2; exit 2; }
[[ $break_when =~ ^(direct|always|never)$ ]] || { echo "run.sh: --break direct|always|never" >&2; exit 2; }
[[ $rebind =~ ^(none|all|udp)$ ]] || { echo "run.sh: --rebind all|udp" >&2; exit 2; }
awk -v r="$relay_ms" -v d="$direct_ms" -v w="$window" \
    'BEGIN { exit !(2 * r > d && d > 0 && r <= 1000 && w >= 1 && w <= 120) }' ||
    { echo "run.sh: needs 0 < direct-ms < 2 x relay-ms <= 2000 and 1 <= window <= 120" >&2; exit 2; }

types=(full-cone address-restricted port-restricted symmetric udp-blocked)
if [[ -z $pairs ]]; then
    for ((i = 0; i < ${#types[@]}; i++)); do
        for ((j = i; j < ${#types[@]}; j++)); do pairs+="${types[i]}/${types[j]},"; done
    done
    pairs+="shared:port-restricted"
fi
IFS=, read -ra pair_list <<<"$(for ((r = 0; r < repeat; r++)); do printf '%s,' "$pairs"; done)"
for p in "${pair_list[@]}"; do
    t=${p#shared:}
    for k in ${t#ipv6:}; do
        for k in ${k/\// }; do
            [[ " ${types[*]} symmetric-upnp " == *" $k "* ]] ||
                { echo "run.sh: unknown NAT type in $p" >&2; exit 2; }
        done
    done
    [[ $p == shared:* || $p == ipv6:* || $p == */* ]] ||
        { echo "run.sh: a pair is A/B, shared:TYPE or ipv6:TYPE, not $p" >&2; exit 2; }
done

# What this machine must have.
skip() { echo "nat: skipped: $*"; exit 77; }
((EUID == 0)) || skip "needs root: creates network namespaces, TUN devices and nftables rules"
[[ -c /dev/net/tun ]] || skip "/dev/net/tun is missing"
for tool in ip nft ss ping awk timeout; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done
[[ $pairs != *symmetric-upnp* ]] || command -v miniupnpd >/dev/null ||
    skip "miniupnpd is not installed (scripts/setup.sh installs it)"
ip netns add "pnat-$$-probe" 2>/dev/null || skip "network namespaces cannot be made here"
ip -n "pnat-$$-probe" link set lo up
ip netns exec "pnat-$$-probe" nft add table ip probe 2>/dev/null || {
    ip netns del "pnat-$$-probe"
    skip "nftables does not work in a network namespace here"
}
ip netns del "pnat-$$-probe"

if ((do_build)); then
    [[ -f $root/$build/build.ninja ]] ||
        cmake -S "$root" -B "$root/$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$root/$build" --target pellora-server pellora_e2e_driver pellora-delaylink pellora-natprobe >/dev/null
fi
[[ $build = /* ]] || build=$root/$build
server_bin=$build/server/pellora-server
driver_bin=$build/tests/e2e/pellora_e2e_driver
delaylink_bin=$build/bench/nat/pellora-delaylink
natprobe_bin=$build/bench/nat/pellora-natprobe
for b in "$server_bin" "$driver_bin" "$delaylink_bin" "$natprobe_bin"; do
    [[ -x $b ]] || { echo "run.sh: $b is not built (drop --no-build)" >&2; exit 1; }
done

# Addresses: the public ones in 198.18.0.0/15 (set aside for benchmarks),
# each player's LAN in 10.77.N.0/24; the room gets 10.8.x.x from the server.
# IPv6 pairs: 2001:2::/48 (benchmarking too), LAN N 2001:2:0:N::/64, NAT N's
# public link 2001:2:ff:N::/64; the server stays IPv4-only.
# A router running miniupnpd forwards nothing on a reserved address, so its
# public one is 11.18.N.1, an ordinary address that exists only in here.
SERVER_IP=198.18.0.1
SERVER_IP2=198.18.0.3 # the reflector's second address
PORT=7777
METRICS_PORT=9477
PROBE_PORTS=(3478 3479)
ROOM=NatRoom

prefix=pnat-$$
v6=0
work=$(mktemp -d /tmp/pellora-nat.XXXXXX)
namespaces=()
pids=()
declare -A player_fd=() player_pid=() player_type=() nat_public=()

# shellcheck source=bench/nat/netns.sh
source "$root/bench/nat/netns.sh"
clear_stale pnat

teardown() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
    local fd
    for fd in "${player_fd[@]}"; do exec {fd}>&- || true; done
    player_fd=()
    local ns
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
    namespaces=()
}
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    teardown
    [[ -n ${NAT_KEEP:-} ]] || rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

gone() { ! kill -0 "$1" 2>/dev/null; }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# link NS_A DEV_A ADDR_A NS_B DEV_B ADDR_B MS: a point-to-point link delayed MS each way.
# Each link its own output file: a "ready" left by an earlier link must not pass for this one's.
link_no=0
link() {
    link_no=$((link_no + 1))
    local out=$work/link-$link_no.out
    "$delaylink_bin" --delay-ms "$7" "$2@$1" "$5@$4" >"$out" 2>"$work/link-$link_no.err" &
    pids+=($!)
    waitfor 5 grep -q ready "$out" || { echo "run.sh: delaylink did not start: $(cat "$work/link-$link_no.err")" >&2; return 1; }
    ip -n "$1" addr add "$3" peer "$6" dev "$2"
    ip -n "$4" addr add "$6" peer "$3" dev "$5"
    ip -n "$1" link set "$2" up
    ip -n "$4" link set "$5" up
}

# nat_rules TYPE: the ruleset of a NAT whose public side is "wan" and LAN side "lan".
nat_rules() {
    local type=$1
    # Linux keeps the source port when it can, so outside the symmetric kind a
    # socket's mapping is the same for every destination.
    local masq="masquerade"
    [[ $type == symmetric* ]] && masq="masquerade fully-random" # a new random port per destination
    # miniupnpd's own rules: its nftables back-end wants a table of family inet.
    [[ $type == symmetric-upnp ]] && cat <<EOF
table inet upnp {
    chain pre { type nat hook prerouting priority dstnat - 1; jump prerouting_miniupnpd; }
    chain post { type nat hook postrouting priority srcnat - 1; jump postrouting_miniupnpd; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
    chain miniupnpd { }
}
EOF
    cat <<EOF
table ip nat {
    # LAN port -> LAN host, and the remote addresses each mapping has sent to.
    map cone { type inet_service : ipv4_addr; flags dynamic, timeout; timeout 30s; }
    set talked { type ipv4_addr . inet_service; flags dynamic, timeout; timeout 30s; }
    chain learn {
        type filter hook prerouting priority mangle;
        meta l4proto udp ct mark set 1 # what a UDP-only rebind forgets
        iifname "lan" meta l4proto udp update @cone { udp sport timeout 30s : ip saddr }
        iifname "lan" meta l4proto udp update @talked { ip daddr . udp sport timeout 30s }
    }
    chain pre {
        type nat hook prerouting priority dstnat;
EOF
    case $type in
    full-cone) echo '        iifname "wan" dnat to udp dport map @cone' ;;
    address-restricted) echo '        iifname "wan" ip saddr . udp dport @talked dnat to udp dport map @cone' ;;
    esac
    cat <<EOF
    }
    chain post {
        type nat hook postrouting priority srcnat;
        oifname "wan" $masq
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
EOF
    [[ $type == udp-blocked ]] && echo "        iifname \"lan\" meta l4proto udp ip daddr != $SERVER_IP drop"
    cat <<EOF
        iifname "lan" accept
        ct state established,related accept
        ct status dnat accept
    }
    chain input {
        type filter hook input priority filter;
        iifname "wan" icmp type echo-request accept
        iifname "wan" ct state new drop
    }
}
EOF
}

# rebind_nat NAT INDEX TYPE KIND: the NAT's public address moves from N.N.INDEX.1 to .5, for
# everything (KIND all) or UDP only (udp), and it forgets the mappings that move, as a
# router does that its provider gives a new address (or whose UDP leaves by another pool).
rebind_nat() {
    local ns=$prefix-$1 new=${nat_public[$2]%.1}.5 flags=""
    [[ $3 == symmetric* ]] && flags=" fully-random"
    ip -n "$ns" addr add "$new/32" dev wan
    ip -n "$prefix-i" route add "$new/32" dev "up$2"
    {
        echo "flush chain ip nat post"
        echo "flush set ip nat talked"
        echo "flush map ip nat cone"
        if [[ $4 == udp ]]; then
            echo "add rule ip nat post oifname \"wan\" meta l4proto udp snat to $new$flags"
            echo "add rule ip nat post oifname \"wan\" masquerade$flags"
        else
            echo "add rule ip nat post oifname \"wan\" snat to $new$flags"
        fi
    } | in_ns "$ns" nft -f -
    # shellcheck disable=SC2046 # no mark: every entry
    in_ns "$ns" "$natprobe_bin" forget $([[ $4 == udp ]] && echo 1)
}

# What pellora-natprobe reports behind each kind.
expected_behaviour() {
    case $1 in
    full-cone) echo "mapping=independent filtering=independent other-address=reachable" ;;
    address-restricted) echo "mapping=independent filtering=address other-address=reachable" ;;
    port-restricted) echo "mapping=independent filtering=address-port other-address=reachable" ;;
    symmetric | symmetric-upnp) echo "mapping=dependent filtering=address-port other-address=reachable" ;;
    udp-blocked) echo "mapping=independent filtering=address-port other-address=blocked" ;;
    esac
}

# Hole punching gets through unless a side blocks UDP, or a symmetric NAT's
# fresh port meets a peer that only lets in the ports it sent to.
expect_direct() {
    local a=$1 b=$2
    [[ $a == shared || $v6 == 1 ]] && return 0
    [[ $a == udp-blocked || $b == udp-blocked ]] && return 1
    # A forwarded port lets the other side in whatever NAT each has.
    [[ $a == symmetric-upnp || $b == symmetric-upnp ]] && return 0
    # A symmetric NAT with one that keeps a port: the birthday probe.
    [[ $a == symmetric && $b == symmetric ]] && return 1
    return 0
}

# birthday_pair TYPE_A TYPE_B: only the birthday probe passes the pair.
birthday_pair() {
    [[ $v6 == 0 && ($1/$2 == symmetric/port-restricted || $1/$2 == port-restricted/symmetric) ]]
}

# hard_pair TYPE_A TYPE_B: hole punching over IPv4 alone cannot pass the pair;
# a router's forwarded port or IPv6 may.
hard_pair() {
    local a=${1%-upnp} b=${2%-upnp}
    [[ $a == symmetric && ($b == symmetric || $b == port-restricted) ]] ||
        [[ $b == symmetric && $a == port-restricted ]]
}

# nat NAME INDEX TYPE: a NAT namespace with its public link and an empty LAN bridge.
nat() {
    local ns=$prefix-$1 i=$2 net=198.18
    [[ $3 == symmetric-upnp ]] && net=11.18
    nat_public[$i]=$net.$i.1
    newns "$ns"
    link "$ns" wan "$net.$i.1" "$prefix-i" "up$i" "$net.$i.2" "$nat_link_ms"
    ip -n "$ns" route add default dev wan
    ip -n "$ns" link add lan type bridge
    ip -n "$ns" addr add "10.77.$i.1/24" dev lan
    ip -n "$ns" link set lan up
    in_ns "$ns" sysctl -qw net.ipv4.ip_forward=1
    # Home routers forget an idle UDP mapping after about 30 s.
    in_ns "$ns" sysctl -qw net.netfilter.nf_conntrack_udp_timeout=30 net.netfilter.nf_conntrack_udp_timeout_stream=30
    nat_rules "$3" | in_ns "$ns" nft -f -
    [[ $3 != symmetric-upnp ]] || upnp_router "$ns" "$i"
    ((v6)) || return 0
    # IPv6 routed, not translated: a stateful firewall lets in only answers.
    ip -n "$ns" -6 addr add "2001:2:ff:$i::1" peer "2001:2:ff:$i::2" dev wan nodad
    ip -n "$prefix-i" -6 addr add "2001:2:ff:$i::2" peer "2001:2:ff:$i::1" dev "up$i" nodad
    ip -n "$ns" -6 route add default dev wan
    ip -n "$prefix-i" -6 route add "2001:2:0:$i::/64" dev "up$i"
    ip -n "$ns" -6 addr add "2001:2:0:$i::1/64" dev lan nodad
    in_ns "$ns" sysctl -qw net.ipv6.conf.all.forwarding=1
    in_ns "$ns" nft -f - <<EOF
table ip6 firewall {
    chain forward {
        type filter hook forward priority filter; policy drop;
        iifname "lan" accept
        ct state established,related accept
    }
}
EOF
}

# upnp_router NS INDEX: miniupnpd on the NAT's LAN side, UPnP-IGD and NAT-PMP.
upnp_router() {
    local up=0
    upnp_daemon "$1" "miniupnpd-$2" yes "10.77.$2.0/24" upnp upnp "0$2" || up=1
    pids+=("$upnp_pid")
    ((up == 0)) ||
        { echo "run.sh: miniupnpd did not start: $(tail -n 3 "$work/miniupnpd-$2.log")" >&2; return 1; }
}

# host NAME NAT_NAME NAT_INDEX HOST_NUMBER: a player on the NAT's LAN.
host() {
    local ns=$prefix-$1 nat_ns=$prefix-$2
    newns "$ns"
    ip -n "$ns" link add eth0 type veth peer name "to-$1" netns "$nat_ns"
    ip -n "$ns" addr add "10.77.$3.$4/24" dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add default via "10.77.$3.1"
    ip -n "$nat_ns" link set "to-$1" master lan up
    ((v6)) || return 0
    ip -n "$ns" -6 addr add "2001:2:0:$3::$4/64" dev eth0 nodad
    ip -n "$ns" -6 route add default via "2001:2:0:$3::1"
}

# topology TYPE_A TYPE_B: B "shared" puts player b behind NAT a.
topology() {
    nat_link_ms=$(awk -v d="$direct_ms" 'BEGIN { print d / 2 }')
    local server_link_ms
    server_link_ms=$(awk -v r="$relay_ms" -v d="$direct_ms" 'BEGIN { print r - d / 2 }')
    newns "$prefix-i"
    in_ns "$prefix-i" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
    newns "$prefix-s"
    link "$prefix-s" pub "$SERVER_IP" "$prefix-i" up0 198.18.0.2 "$server_link_ms"
    ip -n "$prefix-s" addr add "$SERVER_IP2/32" dev lo
    ip -n "$prefix-s" route add default dev pub
    ip -n "$prefix-i" route add "$SERVER_IP2/32" dev up0
    nat na 1 "$1"
    host a na 1 2
    if [[ $2 == shared ]]; then
        host b na 1 3
    else
        nat nb 2 "$2"
        host b nb 2 2
    fi
}

# median_rtt NS TO: the median of five echo round trips, in ms ("-" if none came back).
median_rtt() {
    ip netns exec "$1" ping -n -c 5 -i 0.2 -W 2 "$2" 2>/dev/null | awk '
        /time=/ { for (i = 1; i <= NF; i++) if ($i ~ /^time=/) r[++n] = substr($i, 6) + 0 }
        END {
            if (!n) { print "-"; exit }
            for (i = 2; i <= n; i++) for (j = i; j > 1 && r[j - 1] > r[j]; j--) { t = r[j]; r[j] = r[j - 1]; r[j - 1] = t }
            printf "%.1f\n", n % 2 ? r[(n + 1) / 2] : (r[n / 2] + r[n / 2 + 1]) / 2
        }'
}

# check_nat PLAYER TYPE: the NAT in front of PLAYER behaves as TYPE.
check_nat() {
    local seen want
    seen=$(timeout 20 ip netns exec "$prefix-$1" "$natprobe_bin" classify "$SERVER_IP" "$SERVER_IP2" "${PROBE_PORTS[@]}" 2>&1 || true)
    want=$(expected_behaviour "$2")
    if [[ $seen == "$want" ]]; then
        echo "nat $2: $seen"
    else
        echo "nat $2: $seen, NOT as expected ($want)"
        return 1
    fi
}

# The players, each a driver with a pipe for commands and a file of answers.
start_player() {
    local name=$1
    rm -f "$work/$name.in"
    mkfifo "$work/$name.in"
    : >"$work/$name.out"
    # Only a player whose router runs miniupnpd asks its router (test programs ask none).
    local router=none
    [[ ${player_type[$name]} == symmetric-upnp ]] && router=system
    ip netns exec "$prefix-$name" env PELLORA_SERVER="$SERVER_IP:$PORT" QT_QPA_PLATFORM=offscreen \
        PELLORA_TEST_ROUTER=$router QT_LOGGING_RULES='qt.qpa.*=false' "$driver_bin" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    player_pid[$name]=$!
    local fd
    exec {fd}>"$work/$name.in"
    player_fd[$name]=$fd
}
# say PLAYER COMMAND...: prints the driver's one-line answer (nothing after 20 s).
say() {
    local name=$1 before
    shift
    [[ -n ${player_fd[$name]:-} ]] || return 1
    before=$(wc -l <"$work/$name.out")
    # A driver that has gone fails the command instead of ending us with SIGPIPE.
    (trap '' PIPE; echo "$*" >&"${player_fd[$name]}") 2>/dev/null || return 1
    waitfor 20 answered "$name" "$before" || return 1
    tail -n +"$((before + 1))" "$work/$name.out" | grep -m1 '"ok":'
}
answered() { tail -n +"$(($2 + 1))" "$work/$1.out" | grep -q '"ok":'; }
# field JSON KEY: a plain value of the answer.
field() { sed -n 's/.*"'"$2"'":"\{0,1\}\([^",}]*\).*/\1/p' <<<"$1"; }
status_has() { # PLAYER KEY VALUE
    [[ $(field "$(say "$1" status)" "$2") == "$3" ]]
}
status_more() { # PLAYER KEY THAN
    local v
    v=$(field "$(say "$1" status)" "$2")
    [[ -n $v ]] && ((v > $3))
}
in_room() {
    local s
    s=$(say "$1" status)
    [[ $(field "$s" inRoom) == true && ($(field "$s" tap) == true || $(field "$s" wintun) == true) ]]
}
# The client's own word on its path to VIRTUAL_IP, or "-".
client_path() {
    local s
    s=$(say "$1" status)
    sed -n 's/.*"paths":{[^}]*"'"${2//./\\.}"'":"\([a-z]*\)".*/\1/p' <<<"$s" | grep . || echo -
}

# pings NS TO SECONDS OUT: one echo request every 50 ms, each reply with its time.
pings() {
    local count
    count=$(awk -v s="$3" 'BEGIN { printf "%d", s / 0.05 }')
    timeout $((${3%.*} + 10)) ip netns exec "$1" ping -n -D -i 0.05 -W 2 -c "$count" "$2" >"$4" 2>&1 || true
}

# analyse PING_OUT START: "replies first_seq sent lost_after_first direct_ms relayed_ms
# tail_ms to_direct_s" from a pings() output, START being when the pings began.
# A reply faster than the midpoint of the two expected round trips came directly.
analyse() {
    awk -v start="$2" -v mid="$midpoint" '
        function median(list, n,   i, j, t) {
            if (n == 0) return "-"
            for (i = 2; i <= n; i++) for (j = i; j > 1 && list[j - 1] > list[j]; j--) { t = list[j]; list[j] = list[j - 1]; list[j - 1] = t }
            return sprintf("%.1f", n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2)
        }
        /bytes from/ {
            at = substr($1, 2, length($1) - 2)
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^icmp_seq=/) seq = substr($i, 10) + 0
                if ($i ~ /^time=/) rtt = substr($i, 6) + 0
            }
            if (seq in got) next
            got[seq] = 1; n++
            if (n == 1) first = seq
            t[n] = at; r[n] = rtt
            if (rtt < mid) d[++nd] = rtt; else rl[++nr] = rtt
        }
        / packets transmitted/ { sent = $1 }
        END {
            if (n == 0) { print 0, "-", sent + 0, 0, "-", "-", "-", "-"; exit }
            lost = 0
            for (s = first; s <= sent; s++) if (!(s in got)) lost++
            k = 0
            for (i = (n > 10 ? n - 9 : 1); i <= n; i++) last[++k] = r[i]
            tail = median(last, k)
            # The last run of direct replies, if the pings end on one.
            to = "-"
            if (r[n] < mid) { for (i = n; i > 1 && r[i - 1] < mid; i--); to = sprintf("%.2f", t[i] - start) }
            print n, first, sent, lost, median(d, nd), median(rl, nr), tail, to
        }' "$1"
}
path_of() { # TAIL_RTT
    awk -v m="$1" -v mid="$midpoint" -v rel="$relayed_rtt" \
        'BEGIN { if (m == "-") print "none"; else if (m < mid) print "direct"; else if (m >= 0.9 * rel) print "relayed"; else print "unclear" }'
}

# cut_direct: player a drops everything to and from player b's own and public
# addresses; the server stays reachable.
cut_direct() {
    local b_lan b_pub
    b_lan=$(ip -n "$prefix-b" -4 -o addr show dev eth0 | awk '{ sub(/\/.*/, "", $4); print $4 }')
    # Its NAT's address, and the one a rebind moves it to.
    local i
    i=$([[ $shared == 1 ]] && echo 1 || echo 2)
    b_pub="${nat_public[$i]}, ${nat_public[$i]%.1}.5"
    in_ns "$prefix-a" nft -f - <<EOF
table ip cut {
    chain out { type filter hook output priority filter; ip daddr { $b_lan, $b_pub } drop; }
    chain in { type filter hook input priority filter; ip saddr { $b_lan, $b_pub } drop; }
}
table ip6 cut {
    chain out { type filter hook output priority filter; ip6 daddr 2001:2:0:2::/64 drop; }
    chain in { type filter hook input priority filter; ip6 saddr 2001:2:0:2::/64 drop; }
}
EOF
}

# fallback OUT CUT_AT: seconds from the cut to the first reply through the relay
# for a request sent after it.
fallback_time() {
    awk -v cut="$2" -v mid="$midpoint" '
        /bytes from/ {
            at = substr($1, 2, length($1) - 2)
            for (i = 1; i <= NF; i++) if ($i ~ /^time=/) rtt = substr($i, 6) + 0
            if (at - rtt / 1000 >= cut && rtt >= mid) { printf "%.2f\n", at - cut; found = 1; exit }
        }
        END { if (!found) print "never" }' "$1"
}

relayed_rtt=$(awk -v r="$relay_ms" 'BEGIN { print 4 * r }')
direct_rtt=$(awk -v d="$direct_ms" 'BEGIN { print 2 * d }')
midpoint=$(awk -v r="$relayed_rtt" -v d="$direct_rtt" 'BEGIN { print (r + d) / 2 }')
echo "nat: links ${relay_ms} ms to the server, ${direct_ms} ms between the players, one way:" \
    "relayed round trip >= ${relayed_rtt} ms, direct ${direct_rtt} ms; faster than ${midpoint} ms counts as direct"

# measure: pings, path, fall back and idle of the pair in the room; adds to $line.
# server_path: the pair's path as the server counts it from its clients'
# reports (direct, relayed, or - before both reported).
server_path() {
    { ip netns exec "$prefix-s" curl -s --max-time 2 "http://127.0.0.1:$METRICS_PORT/metrics" || true; } | awk '
        /^pellora_pairs[{]path="direct"[}] 1$/ { p = "direct" }
        /^pellora_pairs[{]path="relayed"[}] 1$/ { p = "relayed" }
        END { print p ? p : "-" }'
}

measure() {
    local vip_b replies first sent rtt_direct rtt_relayed tail to_direct said fallback cut_at pinger idle_tail idle_path
    local flush_lost flush_tail rebind_lost rebind_tail rebind_s
    vip_b=$(field "$(say b status)" vip)
    local span=$window
    birthday_pair "$type_a" "$type_b" && span=$(awk -v w="$window" 'BEGIN { print (w < 16 ? 16 : w) }')
    pings "$prefix-a" "$vip_b" "$span" "$work/window.txt"
    read -r replies first sent lost rtt_direct rtt_relayed tail to_direct < <(analyse "$work/window.txt" "$joined_at")
    path=$(path_of "$tail")
    said=$(client_path a "$vip_b")
    delivered=yes
    ((replies > 0)) || { delivered=no; path=none; }
    [[ $path == direct ]] || to_direct=-
    line+=" path=$path client=$said server=$(server_path) to_direct_s=$to_direct rtt_direct_ms=$rtt_direct rtt_relayed_ms=$rtt_relayed"
    line+=" lost=$lost/$((sent - ${first/-/0} + 1))"

    # Before the cut below, which stays for the rest of the pair.
    if [[ $idle != 0 && $delivered == yes ]]; then
        sleep "$idle"
        pings "$prefix-a" "$vip_b" 1 "$work/idle.txt"
        read -r _ _ _ _ _ _ idle_tail _ < <(analyse "$work/idle.txt" "$(now)")
        idle_path=$(path_of "$idle_tail")
        line+=" after_idle=$idle_path"
        [[ $path != direct || $idle_path == direct ]] || failed=1
    fi

    if [[ $flush == 1 && $delivered == yes ]]; then
        # Player a's NAT forgets every mapping at once (conntrack flushed, as
        # a router's restart does): the game must go on, direct or relayed.
        pings "$prefix-a" "$vip_b" 8 "$work/flush.txt" &
        pinger=$!
        pids+=("$pinger")
        sleep 1
        in_ns "$prefix-na" "$natprobe_bin" forget
        wait "$pinger" || true
        read -r replies _ sent flush_lost _ _ flush_tail _ < <(analyse "$work/flush.txt" "$(now)")
        line+=" flush_lost=$flush_lost/$sent after_flush=$(path_of "$flush_tail")"
        ((replies > 0)) || failed=1
    fi

    if [[ $rebind != none && $delivered == yes ]]; then
        # Player b's NAT (the pinged side: nothing it sends tells the relay at
        # once) gets a new public address a second into 6 s of pings.
        pings "$prefix-a" "$vip_b" 6 "$work/rebind.txt" &
        pinger=$!
        pids+=("$pinger")
        sleep 1
        if [[ $shared == 1 ]]; then rebind_nat na 1 "$type_a" "$rebind"; else rebind_nat nb 2 "$type_b" "$rebind"; fi
        wait "$pinger" || true
        read -r replies _ sent rebind_lost _ _ _ _ < <(analyse "$work/rebind.txt" "$(now)")
        # A ping every 50 ms: the seconds of pings lost. Then the path, from pings after it all.
        rebind_s=$(awk -v n="$rebind_lost" 'BEGIN { printf "%.2f", n * 0.05 }')
        pings "$prefix-a" "$vip_b" 1 "$work/rebound.txt"
        read -r _ _ _ _ _ _ rebind_tail _ < <(analyse "$work/rebound.txt" "$(now)")
        line+=" rebind_lost=$rebind_lost/$sent rebind_loss_s=$rebind_s after_rebind=$(path_of "$rebind_tail")"
        ((replies > 0)) || failed=1
        if [[ $rebind_max == - ]] || awk -v f="$rebind_s" -v m="$rebind_max" 'BEGIN { exit !(f > m) }'; then
            rebind_max=$rebind_s
        fi
    fi

    fallback=-
    if [[ $delivered == yes && ($break_when == always || ($break_when == direct && $path == direct)) ]]; then
        # 8 s of pings: a fall back slower than 7 s is a miss.
        timeout 20 ip netns exec "$prefix-a" ping -n -D -i 0.05 -W 2 -c 160 "$vip_b" >"$work/fallback.txt" 2>&1 &
        pinger=$!
        pids+=("$pinger")
        sleep 1
        cut_at=$(now)
        cut_direct
        wait "$pinger" || true
        fallback=$(fallback_time "$work/fallback.txt" "$cut_at")
        if [[ $fallback == never ]]; then
            failed=1
        elif [[ $fallback_max == - ]] || awk -v f="$fallback" -v m="$fallback_max" 'BEGIN { exit !(f > m) }'; then
            fallback_max=$fallback
        fi
    fi
    line+=" fallback_s=$fallback"

    line+=" delivered=$delivered"
    if [[ $said != - && $delivered == yes && $said != "$path" ]]; then
        line+=" (the client says $said, the pings say $path)"
        failed=1
    fi
}

declare -A verified=()
failed=0
expected=0 went_direct=0 hard=0 hard_direct=0 symmetric=0 symmetric_relayed=0 lost_total=0 fallback_max=- rebind_max=-
pair_no=0
for pair in "${pair_list[@]}"; do
    pair_no=$((pair_no + 1))
    v6=0
    if [[ $pair == shared:* ]]; then
        type_a=${pair#shared:} type_b=shared shared=1
    elif [[ $pair == ipv6:* ]]; then
        type_a=${pair#ipv6:} type_b=${pair#ipv6:} shared=0 v6=1
    else
        type_a=${pair%/*} type_b=${pair#*/} shared=0
    fi
    player_type=([a]=$type_a [b]=$([[ $shared == 1 ]] && echo "$type_a" || echo "$type_b"))
    topology "$type_a" "$type_b"
    if [[ -z ${links_measured:-} && $shared == 0 ]]; then
        # What the delayed links give, seen from NAT a.
        links_measured=1
        echo "nat: link round trips: NAT to server $(median_rtt "$prefix-na" "$SERVER_IP") ms," \
            "NAT to NAT $(median_rtt "$prefix-na" "${nat_public[2]}") ms"
    fi

    # Each NAT kind checked from behind before its first pair.
    checks=()
    for side in a b; do
        t=$([[ $side == a ]] && echo "$type_a" || echo "$type_b")
        [[ $t == shared || -n ${verified[$t]:-} ]] && continue
        checks+=("$side:$t")
        verified[$t]=1
    done
    if ((${#checks[@]})); then
        ip netns exec "$prefix-s" "$natprobe_bin" reflect "$SERVER_IP" "$SERVER_IP2" "${PROBE_PORTS[@]}" >"$work/reflect.out" 2>&1 &
        reflector=$!
        pids+=("$reflector")
        waitfor 5 grep -q ready "$work/reflect.out" || echo "nat: the reflector did not start" >&2
        check_pids=()
        for c in "${checks[@]}"; do
            check_nat "${c%%:*}" "${c#*:}" >"$work/check-${c%%:*}" &
            check_pids+=($!)
        done
        for pid in "${check_pids[@]}"; do wait "$pid" || failed=1; done
        for c in "${checks[@]}"; do cat "$work/check-${c%%:*}"; done
        kill "$reflector" 2>/dev/null || true
    fi

    ip netns exec "$prefix-s" "$server_bin" --listen "$SERVER_IP" --port "$PORT" --stats-interval 0 \
        --metrics 127.0.0.1:$METRICS_PORT \
        --state "$work/lobby-$pair_no.db" >"$work/server.log" 2>&1 &
    server_pid=$!
    pids+=("$server_pid")
    outcome=""
    if ! waitfor 10 bash -c "ip netns exec '$prefix-s' ss -ltn | grep -q ':$PORT '"; then
        outcome="server did not start: $(tail -n 1 "$work/server.log")"
    fi
    if [[ -z $outcome ]]; then
        start_player a
        start_player b
        say a "login alice" >/dev/null && say b "login bob" >/dev/null || outcome="no answer to login"
    fi
    # Logged in, and the relay has each tunnel port from a heartbeat.
    for p in a b; do
        [[ -z $outcome ]] || break
        waitfor 20 status_more "$p" logins 0 && waitfor 10 status_more "$p" heartbeats 0 || outcome="player $p did not log in"
    done
    if [[ -z $outcome ]]; then
        say a "mode 3" >/dev/null && say b "mode 3" >/dev/null && say a "create $ROOM" >/dev/null &&
            waitfor 15 in_room a && say b "join $ROOM" >/dev/null && waitfor 15 in_room b ||
            outcome="the players did not get into one room"
    fi
    joined_at=$(now)

    line="pair=$pair"
    expect=relayed
    expect_direct "$type_a" "$type_b" && expect=direct
    line+=" expect=$expect"
    path=none delivered=no lost=0
    if [[ -n $outcome ]]; then
        line+=" path=none delivered=no ($outcome)"
    else
        measure
    fi
    [[ $delivered == yes ]] || failed=1
    echo "$line"

    lost_total=$((lost_total + lost))
    if [[ $expect == direct ]]; then
        expected=$((expected + 1))
        [[ $path == direct ]] && went_direct=$((went_direct + 1))
        if hard_pair "$type_a" "$type_b"; then
            hard=$((hard + 1))
            [[ $path == direct ]] && hard_direct=$((hard_direct + 1))
        fi
    fi
    if [[ $type_a == symmetric && $type_b == symmetric && $v6 == 0 ]]; then
        symmetric=$((symmetric + 1))
        [[ $path == relayed ]] && symmetric_relayed=$((symmetric_relayed + 1))
    fi
    # Every program ends cleanly (a sanitizer's report fails it).
    player_pid[server]=$server_pid
    for p in a b server; do
        [[ -n ${player_pid[$p]:-} ]] || continue
        [[ $p == server ]] && kill -TERM "$server_pid" 2>/dev/null || say "$p" quit >/dev/null || true
        if ! waitfor 10 gone "${player_pid[$p]}"; then
            echo "nat: $pair: $p did not end"
            failed=1
        elif ! wait "${player_pid[$p]}"; then
            echo "nat: $pair: $p ended with an error:"
            tail -n 20 "$work/$([[ $p == server ]] && echo server.log || echo "$p.err")"
            failed=1
        fi
    done
    player_pid=()
    teardown
done

summary="nat: direct $went_direct of $expected pairs expected direct; hard pairs direct $hard_direct of $hard"
summary+=" (birthday, mapping, IPv6); symmetric pairs relayed $symmetric_relayed of $symmetric;"
summary+=" pings lost while switching $lost_total; fallback max $fallback_max s"
[[ $rebind == none ]] || summary+="; rebind loss max $rebind_max s"
echo "$summary"
if ((require_targets)); then
    ((went_direct == expected && symmetric_relayed == symmetric && lost_total == 0)) || failed=1
    [[ $fallback_max == - ]] || awk -v f="$fallback_max" 'BEGIN { exit !(f <= 7) }' || failed=1
    [[ $rebind_max == - ]] || awk -v f="$rebind_max" 'BEGIN { exit !(f <= 2) }' || failed=1
fi
exit "$failed"
