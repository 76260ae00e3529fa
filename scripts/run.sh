#!/usr/bin/env bash
# Sets up, builds, starts the bundled server on loopback and starts the client
# pointed at it. The server stops when the client closes.
#   PELLORA_PORT       port of the bundled server (7777)
#   PELLORA_SERVER     another server instead of the bundled one
#   PELLORA_BUILD_DIR  build tree to run from (build)
#   PELLORA_PREBUILT=1 skip set-up and build: run what the build tree holds
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${PELLORA_BUILD_DIR:-build}
if [ "${PELLORA_PREBUILT:-0}" != 1 ]; then
  scripts/setup.sh
  scripts/build.sh "$build"
fi
client=$build/pellora
[ -x "$client" ] || { echo "run: no client at $client; build it first (scripts/build.sh $build)" >&2; exit 1; }

port=${PELLORA_PORT:-7777}
if [ -z "${PELLORA_SERVER:-}" ]; then
  # Sessions and rooms survive a restart of this script's server.
  "$build/server/pellora-server" --listen 127.0.0.1 --port "$port" --state "$build/server-state/lobby.db" &
  server_pid=$!
  trap 'kill $server_pid 2>/dev/null || true' EXIT
  # The client retries every 3 s anyway; waiting here only avoids a first
  # "Cannot reach" and catches a server that could not start (port taken).
  for _ in $(seq 50); do
    kill -0 "$server_pid" 2>/dev/null || { echo "run: the bundled server did not start" >&2; exit 1; }
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
fi
server=${PELLORA_SERVER:-127.0.0.1:$port}
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display found; starting the client under Xvfb" >&2
  xvfb-run -a "$client" --server "$server"
  exit
fi
"$client" --server "$server"
