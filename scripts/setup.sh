#!/usr/bin/env bash
# Installs what building, running and testing need (Debian 12, as root).
# Only missing packages are fetched, so a prepared machine starts at once.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  clang libclang-rt-14-dev          # libFuzzer targets
  iproute2 iputils-ping             # network-namespace tests
  nftables curl                     # the NATs of bench/nat (test label nat), its server's metrics
  g++-mingw-w64-x86-64 wine64      # Win32 units cross-built and tested under wine
  g++-mingw-w64-x86-64-posix nsis   # the Windows client (posix threads, as its Qt) and its installer
  xvfb xauth x11-utils              # a real display for screenshots and the Windows client
  libsqlite3-dev                    # the server's state store
  libssl-dev                        # sealed tunnel (AES-GCM) and the server's TLS certificate
  libicu-dev                        # the server's look-alike names (Unicode security skeleton)
  libminiupnpc-dev libnatpmp-dev    # the client's port mapping on the player's router
  miniupnpd-nftables miniupnpc      # a real router for its test (label nat)
  fonts-noto-color-emoji            # crown and lock in the lists (the client draws them without it)
  dpkg-dev libcap2-bin              # the .deb: dpkg-shlibdeps, and setcap in its install test
  prometheus                        # promtool checks the server's /metrics
  chromium                          # renders the server's status page in its test
)
packages+=(${PELLORA_EXTRA_PACKAGES:-})

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
