#!/usr/bin/env bash
# Redraws resources/logo.ico and resources/icons/game_*.png from
# scripts/make_artwork.cpp. The images are committed; run this only after
# changing the drawing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++17 -O1 -fPIC -Wall -Wextra -o "$tmp/make_artwork" "$root/scripts/make_artwork.cpp" \
  $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$tmp/make_artwork" "$root/resources"
