#!/usr/bin/env bash
# winenv.sh DIR setup|cleanup|run PROGRAM [ARGS...]
# One wine prefix (DIR/wineprefix, made fresh by setup) and one X display
# (an Xvfb of its own, its number in DIR/display) for the Windows client tests.
# run: PROGRAM under wine on that display; PELLORA_WIN_DLLS (folders split by
# ':') go on the Windows PATH, where the Qt and runtime libraries are found;
# PELLORA_WIN_TESTLOG, see below.
set -uo pipefail
dir=$1 cmd=$2
shift 2
wine=${PELLORA_WINE:-/usr/lib/wine/wine64}
wineserver=${PELLORA_WINESERVER:-$(dirname "$wine")/wineserver}
# netsh.exe and route.exe: a stand-in put in the system folder wins over wine's own.
# Wine's DirectWrite fails on the host's colour emoji font (a crash inside
# Qt's font fallback for the crown): wine sees text fonts only, as a Windows
# without an emoji font, where the client draws the crown and lock itself.
export FONTCONFIG_FILE=$(cd "$(dirname "$0")/../.." && pwd)/widget/fonts-without-emoji.conf
export WINEPREFIX=$dir/wineprefix WINEDEBUG=${PELLORA_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=;netsh.exe,route.exe=n,b"

stop() {
  "$wineserver" -k 2>/dev/null
  [ -f "$dir/xvfb.pid" ] && kill "$(cat "$dir/xvfb.pid")" 2>/dev/null
  rm -f "$dir/xvfb.pid" "$dir/display"
}

case $cmd in
setup)
  mkdir -p "$dir"
  stop
  rm -rf "$WINEPREFIX"
  # A display of its own: the first free number, told by Xvfb itself.
  exec 3>"$dir/display.fd"
  setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/xvfb.pid"
  exec 3>&-
  for _ in $(seq 100); do [ -s "$dir/display.fd" ] && break; sleep 0.1; done
  [ -s "$dir/display.fd" ] || { echo "winenv: Xvfb did not start" >&2; exit 1; }
  echo ":$(head -n1 "$dir/display.fd")" >"$dir/display"
  export DISPLAY=$(cat "$dir/display")
  "$wine" wineboot --init >/dev/null 2>&1 &&
    # A program that crashes ends there: no debugger that would hold the test's output open.
    "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /f >/dev/null 2>&1
  "$wineserver" -w
  [ -f "$WINEPREFIX/system.reg" ] || { echo "winenv: no wine prefix made in $WINEPREFIX" >&2; exit 1; }
  echo "winenv: prefix $WINEPREFIX, display $DISPLAY"
  ;;
cleanup)
  stop
  ;;
run)
  [ -f "$dir/display" ] || { echo "winenv: no display; run setup first" >&2; exit 1; }
  export DISPLAY=$(cat "$dir/display")
  path=
  IFS=: read -r -a folders <<<"${PELLORA_WIN_DLLS:-}"
  for folder in "${folders[@]}"; do path+="Z:${folder//\//\\};"; done
  export WINEPATH=$path
  # A QtTest program under wine logs nothing to a pipe: it writes to the file
  # PELLORA_WIN_TESTLOG names, shown here once it ends.
  if [ -n "${PELLORA_WIN_TESTLOG:-}" ]; then
    rm -f "$PELLORA_WIN_TESTLOG"
    "$wine" "$@" -o "Z:${PELLORA_WIN_TESTLOG//\//\\},txt"
    rc=$?
    cat "$PELLORA_WIN_TESTLOG" 2>/dev/null
    exit $rc
  fi
  exec "$wine" "$@"
  ;;
*)
  echo "usage: winenv.sh DIR setup|cleanup|run PROGRAM [ARGS...]" >&2
  exit 2
  ;;
esac
