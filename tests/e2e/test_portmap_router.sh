#!/usr/bin/env bash
# test_portmap_router.sh DRIVER: the client's port mapping against a real
# miniupnpd. A router namespace with a LAN side (the player's namespace) and a
# WAN side (an outside namespace), NAT by nftables; miniupnpd on its LAN side.
# For UPnP-IGD, then NAT-PMP alone, each through the router libraries and
# through our own client: the player's mapping shows in the router's table,
# on another port when its own is taken outside (UPnP, with upnpc), a datagram
# sent from outside to the mapped public port reaches the player's socket, the
# router renews it, and after leave, and after the program ends, nothing stays
# mapped. Every namespace is made here and removed on exit.
set -uo pipefail
driver=${1:?usage: test_portmap_router.sh DRIVER}
# shellcheck source=bench/nat/netns.sh
source "$(dirname "$0")/../../bench/nat/netns.sh"

skip() { echo "portmap: skipped: $*"; exit 77; }
fail() { echo "portmap: FAILED: $*"; exit 1; }
((EUID == 0)) || skip "needs root: creates network namespaces and nftables rules"
for tool in ip nft miniupnpd timeout; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done

prefix=ppm-$$
router=$prefix-r player=$prefix-p outside=$prefix-o
LAN_ROUTER=10.79.0.1 LAN_PLAYER=10.79.0.2
# The router's public side. miniupnpd forwards nothing on a reserved address
# (private, shared, test or benchmark ranges), so it has an ordinary one,
# which exists only inside these namespaces.
WAN_ROUTER=11.79.0.1 WAN_OUTSIDE=11.79.0.2
work=$(mktemp -d /tmp/pellora-portmap.XXXXXX)
daemon="" namespaces=()
cleanup() {
    [[ -n $daemon ]] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
clear_stale ppm
for ns in "$router" "$player" "$outside"; do
    newns "$ns" || skip "network namespaces cannot be made here"
done
ip link add lan netns "$router" type veth peer name eth0 netns "$player"
ip link add wan netns "$router" type veth peer name eth0 netns "$outside"
ip -n "$router" addr add $LAN_ROUTER/24 dev lan
ip -n "$router" addr add $WAN_ROUTER/24 dev wan
ip -n "$player" addr add $LAN_PLAYER/24 dev eth0
ip -n "$outside" addr add $WAN_OUTSIDE/24 dev eth0
for link in "$router lan" "$router wan" "$player eth0" "$outside eth0"; do
    set -- $link
    ip -n "$1" link set "$2" up
done
ip -n "$player" route add default via $LAN_ROUTER
ip netns exec "$router" sysctl -qw net.ipv4.ip_forward=1
# The NAT, and the chains miniupnpd fills (named again in its configuration; its
# nftables back-end wants both tables of family inet).
ip netns exec "$router" nft -f - <<'EOF' || skip "nftables does not work in a network namespace here"
table inet nat {
    chain prerouting { type nat hook prerouting priority dstnat; jump prerouting_miniupnpd; }
    chain postrouting {
        type nat hook postrouting priority srcnat;
        jump postrouting_miniupnpd
        oifname "wan" masquerade
    }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
table inet filter {
    chain forward {
        type filter hook forward priority filter; policy drop;
        iifname "lan" accept
        ct state established,related accept
        jump miniupnpd
    }
    chain miniupnpd { }
}
EOF

# mapped: the router's rules that lead to the driver's port ("" when none).
mapped() { ip netns exec "$router" nft list table inet nat | grep -E "dnat .*$LAN_PLAYER:$port( |\$)"; }

# One run of the driver (its router code: lib or own) against miniupnpd with UPnP on or off;
# "taken": its port already forwarded to another machine of the LAN (so not in secure mode).
run() {
    local protocol=$2-$1${3:+-$3} upnp=yes secure=${3:+no}
    [[ $1 == natpmp ]] && upnp=no
    upnp_daemon "$router" "miniupnpd-$protocol" "$upnp" 10.79.0.0/24 filter nat 3c "${secure:-yes}"
    local up=$?
    daemon=$upnp_pid
    ((up == 0)) || fail "$protocol: miniupnpd did not start: $(tail -n 5 "$work/miniupnpd-$protocol.log")"

    coproc DRIVER { ip netns exec "$player" timeout 60 "$driver" "$2" 2>"$work/driver-$protocol.err"; }
    to_driver=${DRIVER[1]}
    local from=${DRIVER[0]} line port public
    ask() { echo "$1" >&"$to_driver"; read -r -t 30 line <&"$from" || line="(no answer to $1)"; }
    read -r -t 10 line <&"$from" || fail "$protocol: the driver did not start"
    [[ $line == port\ * ]] || fail "$protocol: driver: $line"
    port=${line#port }
    if [[ -n ${3:-} ]]; then
        ip netns exec "$player" timeout 10 upnpc -a 10.79.0.3 "$port" "$port" UDP >"$work/taken" 2>&1 ||
            fail "$protocol: upnpc could not take port $port: $(tail -n 3 "$work/taken")"
    fi

    ask map
    [[ $line =~ ^mapped\ $WAN_ROUTER:([0-9]+)\ lease\ ([0-9]+)$ ]] || fail "$protocol: map: $line"
    public=${BASH_REMATCH[1]}
    echo "portmap: $protocol: $line (local port $port)"
    [[ -n ${3:-} ]] || ((public == port)) || fail "$protocol: the free port $port was mapped as $public"
    [[ -z ${3:-} ]] || ((public != port)) || fail "$protocol: the taken port $port was mapped again"
    [[ -n $(mapped) ]] || fail "$protocol: not in the router's table: $(mapped)"
    echo "portmap: $protocol: the router's rule:$(mapped)"
    if [[ $upnp == yes ]] && command -v upnpc >/dev/null; then
        # Its name in the router's list, as the player's router page shows it.
        ip netns exec "$player" timeout 10 upnpc -l >"$work/list" 2>&1
        grep -E "UDP +$public->$LAN_PLAYER:$port +'Pellora'" "$work/list" ||
            fail "$protocol: not listed as Pellora: $(grep -E 'UDP|TCP' "$work/list")"
    fi
    # From outside to the public port: the player's socket gets it.
    ip netns exec "$outside" bash -c "echo -n hello-$protocol >/dev/udp/$WAN_ROUTER/$public"
    ask recv
    [[ $line == "got hello-$protocol" ]] || fail "$protocol: from outside: $line"

    ask renew
    [[ $line == "mapped $WAN_ROUTER:$public "* ]] || fail "$protocol: renew: $line"
    [[ -n $(mapped) ]] || fail "$protocol: renewed, not in the router's table: $(mapped)"
    ask leave
    [[ $line == left ]] || fail "$protocol: leave: $line"
    [[ -z $(mapped) ]] || fail "$protocol: still mapped after leave: $(mapped)"
    ask map
    [[ $line == mapped\ * ]] || fail "$protocol: second map: $line"
    [[ -n $(mapped) ]] || fail "$protocol: the second mapping is not in the router's table"
    exec {to_driver}>&- # end of input: the program ends as the client does
    read -r -t 10 line <&"$from" || line="(no answer at exit)"
    [[ $line == exited ]] || fail "$protocol: exit: $line"
    # A clean end (a sanitizer's report fails it).
    wait "$DRIVER_PID" || fail "$protocol: the driver ended with $?: $(tail -n 20 "$work/driver-$protocol.err")"
    [[ -z $(mapped) ]] || fail "$protocol: still mapped after exit: $(mapped)"

    kill "$daemon" && wait "$daemon" 2>/dev/null
    daemon=""
}

for client in lib own; do
    run upnp $client
    ! command -v upnpc >/dev/null || run upnp $client taken
    run natpmp $client
done
echo "portmap: passed"
