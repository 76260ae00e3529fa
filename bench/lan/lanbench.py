#!/usr/bin/env python3
"""The virtual LAN end to end against n2n, tinc and plain routing, in one run.

Three network namespaces: a server namespace and two player namespaces, each
player joined to the server by its own veth link on its own subnet. IP
forwarding is off in the server namespace, so player-to-player traffic can
only pass through a relay there: pellora-server, n2n's supernode or a tinc
node. "direct" turns forwarding on and routes the players' own addresses (the
ceiling of this machine).

For every system: TCP throughput (iperf3, one stream), UDP throughput with
loss under 1 % (bounded search), ping round trips idle and under a game-like
background load, and CPU seconds per gigabyte of the client and server
processes (from /proc/PID/stat). For Pellora also the idle cost of one client
in a room. All addresses exist only inside the namespaces made here; they and
every process started here are removed on exit.

Run as root: bench/lan/run.sh (installs the peers, builds, then runs this).
"""
import argparse
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PREFIX = "plan-%d-" % os.getpid()
NS_SERVER, NS_A, NS_B = PREFIX + "s", PREFIX + "a", PREFIX + "b"
SERVER_IP = "10.99.0.1"  # on the server namespace's loopback, reached over either link
PLAYER_IP = {NS_A: "10.99.1.2", NS_B: "10.99.2.2"}
GATEWAY_IP = {NS_A: "10.99.1.1", NS_B: "10.99.2.1"}
LINK_IN_SERVER = {NS_A: "pa", NS_B: "pb"}
# The same topology over IPv6, for the tunnel's MTU over an IPv6 relay.
SERVER_IP6 = "fd99::1"
PLAYER_IP6 = {NS_A: "fd99:1::2", NS_B: "fd99:2::2"}
GATEWAY_IP6 = {NS_A: "fd99:1::1", NS_B: "fd99:2::1"}
PELLORA_PORT = 7777
N2N_PORT = 7654
TINC_PORT = 655
LOAD_PORT = 47000
TICKS = os.sysconf("SC_CLK_TCK")

processes = []  # every long-running process we started, stopped on exit
namespaces = []
workdir = tempfile.mkdtemp(prefix="pellora-lanbench-")


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(args, timeout=30, check=True, capture=True):
    r = subprocess.run(args, stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                       stderr=subprocess.STDOUT, timeout=timeout, text=True)
    if check and r.returncode != 0:
        raise RuntimeError("failed: %s\n%s" % (" ".join(args), r.stdout or ""))
    return r.stdout or ""


def in_ns(ns, args):
    return ["ip", "netns", "exec", ns] + args


def spawn(ns, args, name, env=None, stdin=None, stdout=None):
    """Starts a long-running process in a namespace; its stderr goes to a log file."""
    logfile = open(os.path.join(workdir, name + ".log"), "w")
    command = in_ns(ns, (["env"] + env if env else []) + args)
    p = subprocess.Popen(command, stdin=stdin, stdout=stdout if stdout else logfile, stderr=logfile,
                         start_new_session=True)
    p.bench_name = name
    processes.append(p)
    return p


def stop(p, grace=3.0):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(grace)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(3)
    if p in processes:
        processes.remove(p)


def teardown():
    for p in list(processes):
        try:
            stop(p)
        except Exception:  # keep tearing down whatever is left
            pass
    for ns in list(namespaces):
        subprocess.run(["ip", "netns", "del", ns], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        namespaces.remove(ns)
    shutil.rmtree(workdir, ignore_errors=True)


def on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def wait_until(condition, timeout, step=0.2):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return False


# ---------------------------------------------------------------- topology

def remove_stale_namespaces():
    """Namespaces left by a run that was killed; its pid is in the name."""
    for line in run(["ip", "netns", "list"]).splitlines():
        m = re.match(r"^(plan-(\d+)-[a-z])\b", line)
        if not m:
            continue
        try:
            os.kill(int(m.group(2)), 0)
        except ProcessLookupError:
            run(["ip", "netns", "del", m.group(1)], check=False)


def build_topology():
    for ns in (NS_SERVER, NS_A, NS_B):
        run(["ip", "netns", "add", ns])
        namespaces.append(ns)
        run(["ip", "-n", ns, "link", "set", "lo", "up"])
    run(["ip", "-n", NS_SERVER, "addr", "add", SERVER_IP + "/32", "dev", "lo"])
    run(["ip", "-n", NS_SERVER, "addr", "add", SERVER_IP6 + "/128", "dev", "lo"])
    for ns in (NS_A, NS_B):
        peer = LINK_IN_SERVER[ns]
        run(["ip", "-n", ns, "link", "add", "v0", "type", "veth", "peer", "name", peer, "netns", NS_SERVER])
        run(["ip", "-n", ns, "addr", "add", PLAYER_IP[ns] + "/24", "dev", "v0"])
        run(["ip", "-n", ns, "link", "set", "v0", "up"])
        run(["ip", "-n", ns, "route", "add", "default", "via", GATEWAY_IP[ns]])
        run(["ip", "-n", ns, "addr", "add", PLAYER_IP6[ns] + "/64", "dev", "v0", "nodad"])
        run(["ip", "-n", ns, "-6", "route", "add", "default", "via", GATEWAY_IP6[ns]])
        run(["ip", "-n", NS_SERVER, "addr", "add", GATEWAY_IP[ns] + "/24", "dev", peer])
        run(["ip", "-n", NS_SERVER, "addr", "add", GATEWAY_IP6[ns] + "/64", "dev", peer, "nodad"])
        run(["ip", "-n", NS_SERVER, "link", "set", peer, "up"])
    set_forwarding(False)


def set_forwarding(on):
    run(in_ns(NS_SERVER, ["sysctl", "-qw", "net.ipv4.ip_forward=%d" % (1 if on else 0)]))


def reachable(ns, address):
    r = subprocess.run(in_ns(ns, ["ping", "-n", "-c", "1", "-W", "1", address]),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
    return r.returncode == 0


# ---------------------------------------------------------------- measuring

def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICKS


def context_switches(pid):
    """Voluntary and forced switches per thread: wake-ups, roughly."""
    counts = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                counts[task] = sum(int(line.split()[1]) for line in f
                                   if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))
        except FileNotFoundError:  # a thread that just ended
            pass
    return counts


def switches_since(before, after):
    """Threads that ended in between are not counted; new ones count whole."""
    return sum(n - before.get(task, 0) for task, n in after.items())


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def percentile(sorted_values, p):
    if not sorted_values:
        return None
    rank = max(1, min(len(sorted_values), int(round(p / 100.0 * len(sorted_values) + 0.5))))
    return sorted_values[rank - 1]


def ping_rtts(ns, address, count, interval):
    out = run(in_ns(ns, ["ping", "-n", "-c", str(count), "-i", str(interval), "-W", "1", address]),
              timeout=count * interval + 30, check=False)
    times = sorted(float(t) * 1000.0 for t in re.findall(r"time=([0-9.]+) ms", out))
    return {"p50_us": percentile(times, 50), "p99_us": percentile(times, 99), "lost": count - len(times)}


def iperf(ns, address, args, timeout):
    out = run(in_ns(ns, ["iperf3", "-c", address, "-J"] + args), timeout=timeout, check=False)
    try:
        return json.loads(out)
    except ValueError:
        return {"error": out.strip()[-300:]}


def tcp_throughput(address, seconds, client_pids, server_pids, perf_output=None):
    recorder = None
    if perf_output and client_pids + server_pids:
        # Sampled on the CPU clock: this machine may offer no hardware counters.
        recorder = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-g", "-o", perf_output, "-p",
                                     ",".join(str(p) for p in client_pids + server_pids)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        processes.append(recorder)
        time.sleep(0.5)
    cpu0 = (cpu_seconds(client_pids), cpu_seconds(server_pids))
    result = iperf(NS_A, address, ["-t", str(seconds), "-P", "1"], timeout=seconds + 30)
    cpu1 = (cpu_seconds(client_pids), cpu_seconds(server_pids))
    if recorder:
        recorder.send_signal(signal.SIGINT)
        try:
            recorder.wait(30)
        except subprocess.TimeoutExpired:
            pass
        stop(recorder)
    received = result.get("end", {}).get("sum_received", {})
    gigabytes = received.get("bytes", 0) / 1e9
    per_gb = lambda i: (cpu1[i] - cpu0[i]) / gigabytes if gigabytes and (client_pids, server_pids)[i] else None
    return {"tcp_mbps": received.get("bits_per_second", 0) / 1e6, "client_cpu_s_per_gb": per_gb(0),
            "server_cpu_s_per_gb": per_gb(1), "error": result.get("error")}


def udp_trial(address, mbps, seconds, length):
    result = iperf(NS_A, address, ["-u", "-b", "%dK" % int(mbps * 1000), "-t", str(seconds), "-l", str(length)],
                   timeout=seconds + 30)
    s = result.get("end", {}).get("sum", {})
    log("  udp %.0f Mbit/s offered: %s" % (mbps, "%.0f Mbit/s sent, %.2f %% lost" % (
        s["bits_per_second"] / 1e6, s["lost_percent"]) if "lost_percent" in s else result.get("error", "no result")))
    if "lost_percent" not in s:
        return None, 100.0
    return s.get("bits_per_second", 0) / 1e6 * (1 - s["lost_percent"] / 100.0), s["lost_percent"]


def udp_throughput(address, start_mbps, seconds, length, trials):
    """Highest offered rate with loss under 1 %: doubling or halving until
    bracketed, then bisection; at most `trials` runs of iperf3."""
    good, bad = 0.0, None
    best = 0.0
    rate = max(start_mbps, 10.0)
    for _ in range(trials):
        got, lost = udp_trial(address, rate, seconds, length)
        if got is not None and lost < 1.0:
            good, best = rate, max(best, got)
        else:
            bad = rate
        if bad is None:
            rate *= 2
        elif good == 0.0:
            rate /= 2
        else:
            if bad / good < 1.1:
                break
            rate = (good + bad) / 2
    return best


def start_load(target_of, seconds, args):
    """The game-like background: each player namespace sends `players` flows of
    `rate` packets/s of `size` bytes to the other one and reads what it gets."""
    loads = []
    for ns, target in target_of.items():
        loads.append(subprocess.Popen(in_ns(ns, [sys.executable, os.path.abspath(__file__), "--loadgen", target,
                                                 "--load-seconds", str(seconds),
                                                 "--load-players", str(args.load_players),
                                                 "--load-rate", str(args.load_rate),
                                                 "--load-size", str(args.load_size)]),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                      start_new_session=True))
        processes.append(loads[-1])
    return loads


def finish_load(loads, seconds):
    reports = []
    for p in loads:
        try:
            out, _ = p.communicate(timeout=seconds + 20)
            reports.append(json.loads(out.strip().splitlines()[-1]))
        except (subprocess.TimeoutExpired, ValueError, IndexError):
            stop(p)
            reports.append({})
        if p in processes:
            processes.remove(p)
    return reports


def measure(name, address_of, client_pids, server_pids, args):
    """All figures for one system, A measuring towards B."""
    target = address_of[NS_B]
    log("[%s] rtt idle" % name)
    row = {"system": name}
    row["idle"] = ping_rtts(NS_A, target, args.pings, args.ping_interval)
    log("[%s] rtt under game load" % name)
    load_seconds = args.pings * args.ping_interval + 4
    loads = start_load({NS_A: address_of[NS_B], NS_B: address_of[NS_A]}, load_seconds, args)
    time.sleep(1.0)
    row["load"] = ping_rtts(NS_A, target, args.pings, args.ping_interval)
    row["load_report"] = finish_load(loads, load_seconds)
    log("[%s] tcp %d s" % (name, args.seconds))
    perf_output = os.path.join(args.perf, name + ".data") if args.perf else None
    row.update(tcp_throughput(target, args.seconds, client_pids, server_pids, perf_output))
    log("[%s] udp search" % name)
    row["udp_mbps"] = udp_throughput(target, max(row["tcp_mbps"] / 2, 20.0), args.udp_seconds, args.udp_length,
                                     args.udp_trials)
    log("[%s] %s" % (name, json.dumps(row)))
    return row


# ---------------------------------------------------------------- systems

class Player:
    """One driven client (the end-to-end test's driver) in a player namespace."""

    def __init__(self, driver, ns, name, server):
        self.name = name
        self.pending = b""
        self.process = spawn(ns, [driver], "pellora-" + name,
                             env=["PELLORA_SERVER=" + server, "QT_QPA_PLATFORM=offscreen",
                                  "QT_LOGGING_RULES=qt.qpa.*=false"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def command(self, line, timeout=15):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while time.monotonic() < deadline:
            while b"\n" in self.pending:
                text, self.pending = self.pending.split(b"\n", 1)
                try:
                    answer = json.loads(text)
                except ValueError:
                    continue
                if "ok" in answer:
                    return answer
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                self.pending += chunk
        raise RuntimeError("%s: no answer to %r" % (self.name, line))

    def wait_status(self, condition, timeout):
        return wait_until(lambda: condition(self.command("status")), timeout, 0.3)


def adapter_up(status):
    return status.get("wintun") or status.get("tap")


def start_pellora(args, listen, server_text, sealed=False):
    """pellora-server and two logged-in players, sealed (TLS, sealed tunnel) or plain."""
    server = spawn(NS_SERVER, [args.server, "--listen", listen, "--port", str(PELLORA_PORT),
                               "--stats-interval", "0", "--log-level", "warn"] + ([] if sealed else ["--no-tls"]),
                   "pellora-server")
    time.sleep(0.3)
    players = [Player(args.driver, NS_A, "alice", server_text), Player(args.driver, NS_B, "bob", server_text)]
    for p in players:
        p.command("login " + p.name)
    for p in players:
        if not p.wait_status(lambda s: s.get("logins", 0) >= 1, 20):
            raise RuntimeError("pellora: %s did not log in" % p.name)
    return server, players


def check_sealed(players, sealed):
    for p in players:
        if bool(p.command("status").get("sealed")) != sealed:
            raise RuntimeError("pellora: %s is %ssealed" % (p.name, "not " if sealed else ""))


def enter_room(alice, bob, layer):
    """Both players in a new room of `layer`, reaching each other; their addresses."""
    name = "pellora-l%d" % layer
    room = "Bench%d" % layer
    for p in (alice, bob):
        p.command("mode %d" % layer)
    alice.command("create " + room)
    if not alice.wait_status(adapter_up, 15):
        raise RuntimeError("%s: alice's adapter did not come up" % name)
    joined = bob.command("join " + room, timeout=20)
    if not joined.get("ok") or not bob.wait_status(adapter_up, 15):
        raise RuntimeError("%s: bob could not join: %s" % (name, joined))
    address_of = {NS_A: alice.command("status")["vip"], NS_B: bob.command("status")["vip"]}
    # The relay binds each tunnel port at its next heartbeat (every 2 s).
    if not wait_until(lambda: reachable(NS_A, address_of[NS_B]), 15, 0.5):
        raise RuntimeError("%s: no route between the players" % name)
    return address_of


def stop_pellora(server, players):
    for p in players:
        try:
            p.command("quit", timeout=5)
            p.process.wait(5)
        except (RuntimeError, subprocess.TimeoutExpired, BrokenPipeError):
            pass
        stop(p.process)
    stop(server)


def pellora(args, results, sealed=False):
    server, (alice, bob) = start_pellora(args, SERVER_IP, "%s:%d" % (SERVER_IP, PELLORA_PORT), sealed)
    client_pids = [alice.process.pid, bob.process.pid]
    for layer in args.layers:
        name = "pellora-l%d%s" % (layer, "-sealed" if sealed else "")
        if not any(s == name for s in args.systems):
            continue
        address_of = enter_room(alice, bob, layer)
        joined_at = time.monotonic()
        check_sealed((alice, bob), sealed)
        rss_at_join = rss_kib(alice.process.pid) / 1024.0
        row = measure(name, address_of, client_pids, [server.pid], args)
        row["client_rss_join_mib"] = rss_at_join
        if layer == 3 and args.idle_seconds > 0:
            log("[%s] idle client %d s" % (name, args.idle_seconds))
            # The driver's own modal poll is not the client's cost.
            alice.command("modals off")
            # A pair that cannot go direct (forwarding is off) retries on a schedule that widens to
            # once a minute; a player stays far longer than that, so the window opens after it.
            time.sleep(max(2.0, joined_at + args.idle_after - time.monotonic()))
            before = cpu_seconds([alice.process.pid]), context_switches(alice.process.pid)
            time.sleep(args.idle_seconds)
            row["idle_cpu_percent"] = 100.0 * (cpu_seconds([alice.process.pid]) - before[0]) / args.idle_seconds
            switches = switches_since(before[1], context_switches(alice.process.pid))
            row["idle_wakeups_per_s"] = switches / args.idle_seconds
            alice.command("modals on")
        row["client_rss_mib"] = rss_kib(alice.process.pid) / 1024.0
        results.append(row)
        for p in (bob, alice):
            p.command("leave")
    if sealed and "pellora-l3-direct" in args.systems:
        direct_pair(args, results, alice, bob, client_pids, server.pid)
    stop_pellora(server, [alice, bob])


def direct_pair(args, results, alice, bob, client_pids, server_pid):
    """The two sealed players on the path the server paired them for: with
    forwarding on, each reaches the address the relay saw the other at, so
    their probes are answered and their traffic leaves the relay out."""
    set_forwarding(True)
    try:
        address_of = enter_room(alice, bob, 3)
        check_sealed((alice, bob), True)
        direct_to = lambda p, vip: p.command("status").get("paths", {}).get(vip) == "direct"
        if not wait_until(lambda: direct_to(alice, address_of[NS_B]) and direct_to(bob, address_of[NS_A]), 20, 0.5):
            raise RuntimeError("pellora-l3-direct: the pair did not go direct")
        results.append(measure("pellora-l3-direct", address_of, client_pids, [server_pid], args))
        for p in (bob, alice):
            p.command("leave")
    finally:
        set_forwarding(False)


def fragments():
    """IPv4 and IPv6 fragments made or reassembled in all three namespaces."""
    total = 0
    for ns in (NS_SERVER, NS_A, NS_B):
        rows = [line.split() for line in run(in_ns(ns, ["cat", "/proc/net/snmp"])).splitlines()
                if line.startswith("Ip:")]
        ip = dict(zip(rows[0][1:], rows[1][1:]))
        ip6 = dict(line.split() for line in run(in_ns(ns, ["cat", "/proc/net/snmp6"])).splitlines() if line.strip())
        total += int(ip["FragCreates"]) + int(ip["ReasmReqds"]) + int(ip6["Ip6FragCreates"]) + int(ip6["Ip6ReasmReqds"])
    return total


def full_size_pings(ns, interface, peer, mtu):
    """Pings of exactly `mtu` bytes that may not be fragmented inside the
    tunnel, sent with the adapter at `mtu`: (answered of 3, fragments on the path)."""
    run(in_ns(ns, ["ip", "link", "set", "dev", interface, "mtu", str(mtu)]))
    before = fragments()
    out = run(in_ns(ns, ["ping", "-n", "-q", "-M", "do", "-s", str(mtu - 28), "-c", "3", "-i", "0.2", "-W", "1",
                         peer]), check=False)
    m = re.search(r"(\d+) received", out)
    return (int(m.group(1)) if m else 0), fragments() - before


def mtu_check(args):
    """The adapter's MTU against a 1500-byte path, with the relay reached over
    IPv4 and over IPv6: full-size pings at the client's MTU, then the same at
    1500 to show that the count sees fragmentation."""
    lines = []
    runs = [(layer, sealed) for layer in args.layers for sealed in (False, True)
            if "pellora-l%d%s" % (layer, "-sealed" if sealed else "") in args.systems]
    for (family, listen, server_text), sealed in ((f, s) for f in (
            ("ipv4", SERVER_IP, "%s:%d" % (SERVER_IP, PELLORA_PORT)),
            ("ipv6", SERVER_IP6, "[%s]:%d" % (SERVER_IP6, PELLORA_PORT))) for s in (False, True)):
        if not any(s == sealed for _, s in runs):
            continue
        server, (alice, bob) = start_pellora(args, listen, server_text, sealed)
        try:
            for layer in (layer for layer, s in runs if s == sealed):
                address_of = enter_room(alice, bob, layer)
                interface = run(in_ns(NS_A, ["ip", "-o", "addr", "show", "to", address_of[NS_A]])).split()[1]
                mtu = int(re.search(r"mtu (\d+)", run(in_ns(NS_A, ["ip", "-o", "link", "show", "dev", interface])))
                          .group(1))
                answered, made = full_size_pings(NS_A, interface, address_of[NS_B], mtu)
                _, at1500 = full_size_pings(NS_A, interface, address_of[NS_B], 1500)  # each join sets the MTU anew
                lines.append("mtu %s relay, layer %d%s: adapter %d, %d of 3 full-size pings answered, %d fragments "
                             "(target 3 and 0; at mtu 1500: %d fragments)" % (family, layer, " sealed" if sealed else "",
                                                                               mtu, answered, made, at1500))
                for p in (bob, alice):
                    p.command("leave")
        finally:
            stop_pellora(server, [alice, bob])
    return lines


def direct(args, results):
    set_forwarding(True)
    try:
        if not wait_until(lambda: reachable(NS_A, PLAYER_IP[NS_B]), 10, 0.5):
            raise RuntimeError("direct: no route with forwarding on")
        results.append(measure("direct", dict(PLAYER_IP), [], [], args))
    finally:
        set_forwarding(False)


def floor(args, results):
    """The smallest tunnel possible here (bench/lan/floortunnel_linux.cpp): a
    blocking TUN read then send, a blocking receive then TUN write, and a relay
    forwarding between two fixed endpoints. Same MTU as Pellora's layer 3."""
    port = 7900
    relay = spawn(NS_SERVER, [args.floor, "relay", SERVER_IP, str(port), PLAYER_IP[NS_A], str(port),
                              PLAYER_IP[NS_B], str(port)], "floor-relay")
    address_of = {NS_A: "10.55.0.1", NS_B: "10.55.0.2"}
    sides = [spawn(ns, [args.floor, "side", "floor0", PLAYER_IP[ns], str(port), SERVER_IP, str(port)],
                   "floor-" + ns[-1]) for ns in (NS_A, NS_B)]
    for ns in (NS_A, NS_B):
        if not wait_until(lambda: subprocess.run(in_ns(ns, ["ip", "link", "show", "floor0"]), stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL).returncode == 0, 10, 0.1):
            raise RuntimeError("floor: no TUN device")
        run(in_ns(ns, ["ip", "addr", "add", address_of[ns] + "/24", "dev", "floor0"]))
        run(in_ns(ns, ["ip", "link", "set", "floor0", "mtu", "1452", "up"]))
    if not wait_until(lambda: reachable(NS_A, address_of[NS_B]), 10, 0.5):
        raise RuntimeError("floor: the sides do not reach each other")
    results.append(measure("floor", address_of, [p.pid for p in sides], [relay.pid], args))
    for p in sides + [relay]:
        stop(p)


def n2n(args, results):
    supernode = spawn(NS_SERVER, ["supernode", "-l", str(N2N_PORT)], "n2n-supernode")
    time.sleep(0.3)
    address_of = {NS_A: "10.77.0.1", NS_B: "10.77.0.2"}
    edges = [spawn(ns, ["edge", "-d", "n2n0", "-a", address_of[ns], "-s", "255.255.255.0", "-c", "pbench",
                        "-k", "bench-key-1", "-l", "%s:%d" % (SERVER_IP, N2N_PORT)], "n2n-edge-" + ns[-1])
             for ns in (NS_A, NS_B)]
    if not wait_until(lambda: reachable(NS_A, address_of[NS_B]), 20, 0.5):
        raise RuntimeError("n2n: the edges do not reach each other")
    time.sleep(1)
    results.append(measure("n2n", address_of, [e.pid for e in edges], [supernode.pid], args))
    for p in edges + [supernode]:
        stop(p)


def tinc(args, results):
    """Switch mode; both players connect only to the node in the server
    namespace, and IndirectData sends their traffic through it."""
    nodes = {"hub": (NS_SERVER, None), "a": (NS_A, "10.66.0.1"), "b": (NS_B, "10.66.0.2")}
    root = tempfile.mkdtemp(prefix="tinc-", dir=workdir)  # fresh keys and hosts for every run
    for node in nodes:
        conf = os.path.join(root, node)
        os.makedirs(os.path.join(conf, "hosts"))
        with open(os.path.join(conf, "tinc.conf"), "w") as f:
            f.write("Name = %s\nMode = switch\nInterface = tinc0\nPort = %d\n" % (node, TINC_PORT))
            if node != "hub":
                f.write("ConnectTo = hub\n")
        up = os.path.join(conf, "tinc-up")
        with open(up, "w") as f:
            address = nodes[node][1]
            f.write("#!/bin/sh\n" + ("ip addr add %s/24 dev $INTERFACE\n" % address if address else "") +
                    "ip link set $INTERFACE up\n")
        os.chmod(up, 0o755)
        run(["tincd", "-c", conf, "-K", "2048"], timeout=60)
    for node in nodes:
        with open(os.path.join(root, node, "hosts", node)) as f:  # where -K put the public key
            key = f.read()
        host = ("Address = %s\nPort = %d\n" % (SERVER_IP, TINC_PORT)) if node == "hub" else "IndirectData = yes\n"
        for other in nodes:
            with open(os.path.join(root, other, "hosts", node), "w") as f:
                f.write(host + key)
    daemons = {node: spawn(ns, ["tincd", "-c", os.path.join(root, node), "-D", "--pidfile",
                                os.path.join(root, node, "pid"), "--logfile=" + os.path.join(root, node, "log")],
                           "tinc-" + node)
               for node, (ns, _) in nodes.items()}
    address_of = {NS_A: "10.66.0.1", NS_B: "10.66.0.2"}
    if not wait_until(lambda: reachable(NS_A, address_of[NS_B]), 30, 0.5):
        raise RuntimeError("tinc: the players do not reach each other")
    time.sleep(3)  # path MTU discovery settles
    results.append(measure("tinc", address_of, [daemons["a"].pid, daemons["b"].pid], [daemons["hub"].pid], args))
    for p in daemons.values():
        stop(p)


# ---------------------------------------------------------------- report

def fmt(value, digits=0):
    if value is None:
        return "-"
    return ("%." + str(digits) + "f") % value


def report(results, args):
    by = {r["system"]: r for r in results}
    header = ("system", "tcp Mbit/s", "udp Mbit/s", "p50 us", "p99 us", "p50 load", "p99 load", "lost",
              "client s/GB", "server s/GB")
    rows = [header]
    for r in results:
        rows.append((r["system"], fmt(r["tcp_mbps"]), fmt(r["udp_mbps"]), fmt(r["idle"]["p50_us"]),
                     fmt(r["idle"]["p99_us"]), fmt(r["load"]["p50_us"]), fmt(r["load"]["p99_us"]),
                     "%d/%d" % (r["idle"]["lost"], r["load"]["lost"]), fmt(r["client_cpu_s_per_gb"], 2),
                     fmt(r["server_cpu_s_per_gb"], 2)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    print()
    print("LAN benchmark: TCP %d s one stream; UDP %d-byte datagrams, loss < 1 %%; %d pings every %g ms, idle and "
          "under %d x %d packets/s x %d bytes each way" % (args.seconds, args.udp_length, args.pings,
                                                           args.ping_interval * 1000, args.load_players,
                                                           args.load_rate, args.load_size))
    for row in rows:
        print("  ".join(cell.rjust(w) if i else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))))
    for r in results:
        if "idle_cpu_percent" in r:
            print("%s client idle in a room: %s %% of a core over %d s (target < 0.5), %s wake-ups/s" %
                  (r["system"], fmt(r["idle_cpu_percent"], 2), args.idle_seconds, fmt(r["idle_wakeups_per_s"], 1)))
        if "client_rss_mib" in r:
            print("%s client RSS %.1f MiB after the tests (%.1f MiB on joining)" %
                  (r["system"], r["client_rss_mib"], r["client_rss_join_mib"]))

    def ratio(a, b):
        return a / b if a is not None and b else None

    print()
    print("ratios (tcp, udp: higher is better; rtt: lower is better; added: p50 over direct)")
    for r in results:
        parts = [r["system"].ljust(widths[0])]
        for base in ("n2n", "direct"):
            if base in by and r["system"] != base:
                b = by[base]
                parts.append("/%s tcp %s udp %s rtt_p50 %s" % (
                    base, fmt(ratio(r["tcp_mbps"], b["tcp_mbps"]), 2), fmt(ratio(r["udp_mbps"], b["udp_mbps"]), 2),
                    fmt(ratio(r["idle"]["p50_us"], b["idle"]["p50_us"]), 2)))
        if "direct" in by and r["system"] != "direct" and r["idle"]["p50_us"] is not None:
            parts.append("added p50 %s us" % fmt(r["idle"]["p50_us"] - by["direct"]["idle"]["p50_us"]))
        print("  ".join(parts))

    def p50(system, key="idle"):
        return by[system][key]["p50_us"] if system in by else None

    def added(system):
        a, d = p50(system), p50("direct")
        return a - d if a is not None and d is not None else None

    def line(label, a, b, target, digits=0):
        r = ratio(a, b)
        print("%s %s (%s / %s; target %s)" % (label, fmt(r, 2), fmt(a, digits), fmt(b, digits), target))

    tcp = lambda system: by[system]["tcp_mbps"] if system in by else None
    load_p99 = lambda system: by[system]["load"]["p99_us"] if system in by else None
    print()
    print("targets (median of %d run%s; rtt in us, tcp in Mbit/s, added = rtt minus direct rtt)" %
          (args.runs, "" if args.runs == 1 else "s"))
    line("l3/n2n rtt_p50:", p50("pellora-l3"), p50("n2n"), "<= 0.75")
    line("l2/n2n rtt_p50:", p50("pellora-l2"), p50("n2n"), "<= 0.8")
    line("l3/floor rtt_added_p50:", added("pellora-l3"), added("floor"), "<= 1.25")
    line("l3/n2n tcp:", tcp("pellora-l3"), tcp("n2n"), ">= 4")
    line("l3/floor tcp:", tcp("pellora-l3"), tcp("floor"), ">= 0.8")
    line("l3/n2n load_p99:", load_p99("pellora-l3"), load_p99("n2n"), "<= 1")
    line("l2/n2n load_p99:", load_p99("pellora-l2"), load_p99("n2n"), "<= 1")
    line("l3sealed/l3 rtt_p50:", p50("pellora-l3-sealed"), p50("pellora-l3"), "<= 1.1")
    line("l3sealed/l3 tcp:", tcp("pellora-l3-sealed"), tcp("pellora-l3"), ">= 0.9")
    line("l3sealed/n2n tcp:", tcp("pellora-l3-sealed"), tcp("n2n"), ">= 4")
    # A direct pair skips the relay's hop: never slower than the plain relay.
    line("l3direct/l3 rtt_p50:", p50("pellora-l3-direct"), p50("pellora-l3"), "<= 1")
    if args.mtu_lines:
        print()
        print("\n".join(args.mtu_lines))


def median_rows(runs):
    """One row per system: the median of every figure over the runs."""
    def median(values):
        values = sorted(v for v in values if isinstance(v, (int, float)) and not isinstance(v, bool))
        if not values:
            return None
        mid = len(values) // 2
        return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2.0

    def merge(rows):
        out = {}
        for key, value in rows[0].items():
            if isinstance(value, dict):
                out[key] = merge([r[key] for r in rows if isinstance(r.get(key), dict)])
            elif isinstance(value, (int, float)) and not isinstance(value, bool):
                # A failed iperf3 run reports 0 Mbit/s: left out, not counted as a figure.
                out[key] = median([r.get(key) for r in rows if not (key.endswith("_mbps") and not r.get(key))])
            else:
                out[key] = value
        return out

    by = {}
    for rows in runs:
        for r in rows:
            by.setdefault(r["system"], []).append(r)
    return [merge(rows) for rows in by.values()]


# ---------------------------------------------------------------- load generator

def loadgen(args):
    """Bounded UDP load: `players` sockets each sending `rate` datagrams/s of
    `size` bytes to the target, paced evenly; one socket reads what the other
    side sends. Prints one JSON line with the counts."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("0.0.0.0", LOAD_PORT))
    sink.setblocking(False)
    senders = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(args.load_players)]
    payload = b"\x5a" * args.load_size
    step = 1.0 / (args.load_players * args.load_rate)
    start = time.monotonic()
    end = start + args.load_seconds
    sent = received = 0
    next_send = start
    while True:
        now = time.monotonic()
        if now >= end:
            break
        if now >= next_send:
            try:
                senders[sent % len(senders)].sendto(payload, (args.loadgen, LOAD_PORT))
            except OSError:
                pass
            sent += 1
            next_send = start + sent * step
        ready, _, _ = select.select([sink], [], [], max(0.0, min(next_send, end) - time.monotonic()))
        while ready:
            try:
                sink.recv(65536)
                received += 1
            except BlockingIOError:
                break
    print(json.dumps({"sent": sent, "received": received}))


# ---------------------------------------------------------------- main

ALL_SYSTEMS = ["direct", "floor", "pellora-l3", "pellora-l2", "pellora-l3-sealed", "pellora-l3-direct", "n2n",
               "tinc"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build folder holding pellora-server and the driver")
    parser.add_argument("--systems", default=",".join(ALL_SYSTEMS), help="comma-separated subset of %s" %
                        ",".join(ALL_SYSTEMS))
    parser.add_argument("--seconds", type=int, default=10, help="TCP test length")
    parser.add_argument("--udp-seconds", type=int, default=2, help="length of one UDP trial")
    parser.add_argument("--udp-trials", type=int, default=8, help="UDP trials per system at most")
    parser.add_argument("--udp-length", type=int, default=1200, help="UDP payload bytes (fits every tunnel's MTU)")
    parser.add_argument("--pings", type=int, default=1000)
    parser.add_argument("--ping-interval", type=float, default=0.01)
    parser.add_argument("--idle-seconds", type=int, default=30, help="idle client measurement; 0 skips it")
    parser.add_argument("--idle-after", type=int, default=90,
                        help="seconds after the join the idle window opens at the earliest (0: at once)")
    parser.add_argument("--load-players", type=int, default=8)
    parser.add_argument("--load-rate", type=int, default=30, help="packets per second per player")
    parser.add_argument("--load-size", type=int, default=200, help="bytes per packet")
    parser.add_argument("--load-seconds", type=float, default=10)
    parser.add_argument("--runs", type=int, default=3, help="runs of every system; the report shows medians")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--perf", metavar="DIR", help="record the tunnel processes with perf during the TCP test "
                        "into DIR/SYSTEM.data (see perf report -i)")
    parser.add_argument("--loadgen", metavar="TARGET", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.loadgen:
        loadgen(args)
        return 0
    if not (1 <= args.seconds <= 600 and 1 <= args.pings <= 100000 and 0 <= args.idle_seconds <= 600
            and 0 <= args.idle_after <= 600
            and 1 <= args.udp_trials <= 30 and 1 <= args.udp_seconds <= 60 and 1 <= args.runs <= 20):
        parser.error("out-of-range option")
    args.systems = [s for s in args.systems.split(",") if s]
    unknown = set(args.systems) - set(ALL_SYSTEMS)
    if unknown:
        parser.error("unknown system(s): " + ", ".join(sorted(unknown)))
    args.layers = [3, 2]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = args.build if os.path.isabs(args.build) else os.path.join(root, args.build)
    args.server = os.path.join(build, "server", "pellora-server")
    args.driver = os.path.join(build, "tests", "e2e", "pellora_e2e_driver")
    args.floor = os.path.join(build, "bench", "pellora-floor-tunnel")

    if os.geteuid() != 0:
        sys.exit("lanbench: needs root (network namespaces, TUN/TAP devices)")
    tools = {"ip": True, "ping": True, "iperf3": True, "supernode": "n2n" in args.systems,
             "edge": "n2n" in args.systems, "tincd": "tinc" in args.systems}
    if args.perf:
        tools["perf"] = True
        os.makedirs(args.perf, exist_ok=True)
        args.perf = os.path.abspath(args.perf)
    missing = [t for t, needed in tools.items() if needed and not shutil.which(t)]
    if missing:
        sys.exit("lanbench: missing %s (bench/lan/run.sh installs them)" % ", ".join(missing))
    if any(s.startswith("pellora") for s in args.systems):
        for path in (args.server, args.driver, args.floor):
            if not os.access(path, os.X_OK):
                sys.exit("lanbench: %s is not built (scripts/build.sh %s)" % (path, args.build))
        if not os.path.exists("/dev/net/tun"):
            sys.exit("lanbench: /dev/net/tun is missing (modprobe tun)")

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    runs = []
    try:
        remove_stale_namespaces()
        build_topology()
        iperf_server = spawn(NS_B, ["iperf3", "-s"], "iperf3-server")
        time.sleep(0.3)
        args.mtu_lines = mtu_check(args) if any(s.startswith("pellora") for s in args.systems) else []
        # Systems take turns within each run, so that the machine's other load
        # falls on all of them alike.
        for number in range(args.runs):
            log("run %d of %d" % (number + 1, args.runs))
            results = []
            if "direct" in args.systems:
                direct(args, results)
            if "floor" in args.systems:
                floor(args, results)
            if any(s in ("pellora-l3", "pellora-l2") for s in args.systems):
                pellora(args, results)
            if any(s in ("pellora-l3-sealed", "pellora-l3-direct") for s in args.systems):
                pellora(args, results, sealed=True)
            if "n2n" in args.systems:
                n2n(args, results)
            if "tinc" in args.systems:
                tinc(args, results)
            runs.append(results)
        stop(iperf_server)
    finally:
        teardown()
    results = median_rows(runs)
    order = {s: i for i, s in enumerate(ALL_SYSTEMS)}
    results.sort(key=lambda r: order[r["system"]])
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"median": results, "runs": runs}, f, indent=1)
    report(results, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
