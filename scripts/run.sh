#!/usr/bin/env bash
# Sets up, builds, starts the bundled server on loopback and starts the client
# pointed at it. The server stops when the client closes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
scripts/build.sh build

port=${PELLORA_PORT:-7777}
server_pid=
if [ -x build/server/pellora-server ]; then
  # Sessions and rooms survive a restart of this script's server.
  build/server/pellora-server --listen 127.0.0.1 --port "$port" --state build/server-state/lobby.db &
  server_pid=$!
  trap 'kill $server_pid 2>/dev/null || true' EXIT
  sleep 0.3
fi
# The bundled server, unless PELLORA_SERVER names another one.
server=${PELLORA_SERVER:-127.0.0.1:$port}
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display found; starting the client under Xvfb" >&2
  xvfb-run -a build/pellora --server "$server"
  exit
fi
build/pellora --server "$server"
