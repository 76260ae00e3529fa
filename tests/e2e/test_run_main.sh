#!/usr/bin/env bash
# test_run_main.sh BUILD MODE: runs the README's main command (scripts/run.sh)
# on an already built tree and passes once the client is up and connected to
# the bundled server. MODE: offscreen (Qt's headless platform) or xvfb (no
# display at all, so run.sh starts Xvfb itself).
set -euo pipefail
build=$(cd "$1" && pwd) mode=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; [ -s "$log" ] && sed 's/^/  run.sh: /' "$log" >&2; exit 1; }
log=$(mktemp) state=$(mktemp -d)
cleanup() {
  [ -n "${pid:-}" ] && kill -TERM -- "-$pid" 2>/dev/null || true
  rm -rf "$log" "$state"
}
trap cleanup EXIT

# A port free for both TCP and UDP (the server takes both).
for _ in $(seq 100); do
  port=$((20000 + RANDOM % 20000))
  [ -z "$(ss -Hlntu "sport = :$port")" ] && break
done

env=(PELLORA_PREBUILT=1 PELLORA_BUILD_DIR="$build" PELLORA_PORT="$port" HOME="$state" XDG_CONFIG_HOME="$state")
case $mode in
  offscreen) env+=(QT_QPA_PLATFORM=offscreen) ;;
  xvfb) unset QT_QPA_PLATFORM DISPLAY WAYLAND_DISPLAY ;;
  *) fail "unknown mode $mode" ;;
esac
# Its own process group, so that the whole tree (server, Xvfb) ends with it.
setsid env "${env[@]}" "$root/scripts/run.sh" >"$log" 2>&1 &
pid=$!

connected=
for _ in $(seq 300); do   # 30 s at most
  kill -0 "$pid" 2>/dev/null || fail "run.sh ended before the client connected"
  if ss -Htnp state established "( dport = :$port )" | grep -q '"pellora"'; then connected=1; break; fi
  sleep 0.1
done
[ -n "$connected" ] || fail "no client connected to the bundled server on port $port within 30 s"
# Still up a moment later: the client stays, it did not connect and crash.
sleep 1
kill -0 "$pid" 2>/dev/null || fail "run.sh ended after the client connected"
ss -Htnp state established "( dport = :$port )" | grep -q '"pellora"' || fail "the client dropped its connection"

kill -TERM -- "-$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
# The server got the same signal and may still be closing its sockets.
for _ in $(seq 50); do [ -z "$(ss -Hlnt "sport = :$port")" ] && break; sleep 0.1; done
[ -z "$(ss -Hlnt "sport = :$port")" ] || fail "the bundled server outlived run.sh"
pid=
echo "run.sh ok ($mode): client connected to the bundled server on port $port"
