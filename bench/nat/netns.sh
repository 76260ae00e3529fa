# shellcheck shell=bash disable=SC2154,SC2034 # $work and namespaces are the caller's, upnp_pid for it
# Helpers for scripts that build networks of namespaces as root (sourced by bench/nat/run.sh and
# tests/e2e/test_portmap_router.sh). They expect $work, a folder of their own, and the array namespaces.

# clear_stale PREFIX: namespaces PREFIX-<pid>-* of earlier runs that were killed before they could clean up.
clear_stale() {
    local ns owner
    for ns in $(ip netns list | awk '{print $1}' | grep -E "^$1-[0-9]+-" || true); do
        owner=${ns#"$1"-}
        kill -0 "${owner%%-*}" 2>/dev/null || ip netns del "$ns" 2>/dev/null || true
    done
}

now() { date +%s.%N; }
# waitfor SECONDS COMMAND...: true once COMMAND succeeds, false at the deadline.
waitfor() {
    local deadline
    deadline=$(awk -v n="$(now)" -v s="$1" 'BEGIN { printf "%.3f", n + s }')
    shift
    until "$@"; do
        awk -v n="$(now)" -v d="$deadline" 'BEGIN { exit !(n > d) }' && return 1
        sleep 0.1
    done
}

# newns NAME: a namespace with its loopback up, removed by whoever empties namespaces.
newns() { ip netns add "$1" && namespaces+=("$1") && ip -n "$1" link set lo up; }

# upnp_daemon NS NAME UPNP LAN FORWARD_TABLE NAT_TABLE UUID_END [SECURE]: miniupnpd in NS between its links
# "lan" (serving LAN, an a.b.c.0/24, with NAT-PMP and UPnP-IGD when UPNP is yes) and "wan", filling
# the chains miniupnpd, prerouting_miniupnpd and postrouting_miniupnpd of the inet tables named;
# files $work/NAME.{conf,pid,log}; SECURE no lets a client map ports for other hosts. Its pid in
# upnp_pid; false unless it listens within 5 s.
upnp_daemon() {
    cat >"$work/$2.conf" <<EOF
ext_ifname=wan
listening_ip=lan
http_port=0
enable_upnp=$3
enable_natpmp=yes
secure_mode=${8:-yes}
system_uptime=yes
uuid=3d3cec3a-8cf0-11e0-98ee-001a6b5f4e$7
upnp_table_name=$5
upnp_nat_table_name=$6
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 $4 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    rm -f "$work/$2.pid" # one of an earlier run, which it checks for
    # Not through a function: the pid kept must be miniupnpd's own.
    ip netns exec "$1" miniupnpd -d -f "$work/$2.conf" -P "$work/$2.pid" >"$work/$2.log" 2>&1 &
    upnp_pid=$!
    waitfor 5 bash -c "ip netns exec '$1' ss -lun | grep -q ':5351 '"
}
