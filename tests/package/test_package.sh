#!/usr/bin/env bash
# test_package.sh BUILD VERSION: builds and inspects the .deb, then installs it into a scratch root.
set -euo pipefail
build=$1 version=$2 deb=$1/pellora_$2_amd64.deb scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -f "$deb"
cmake --build "$build" --target package >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "package target"; }
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in bin/pellora bin/pellora-server share/applications/pellora.desktop lib/systemd/system/pellora-server.service \
         share/icons/hicolor/256x256/apps/pellora.png; do
  grep -qx "\./usr/$f" <<<"$files" || fail "/usr/$f missing from the package"
done
grep -qx './etc/pellora/server.conf' <<<"$files" || fail "no example configuration"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/pellora.desktop | grep -qx 'MimeType=x-scheme-handler/pellora;' \
  || fail "the menu entry does not take pellora:// links"
! grep -q 'etc/systemd' <<<"$files" || fail "the package enables a unit"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6network6 qt6-qpa-plugins fonts-noto-color-emoji libcap2-bin; do
  grep -qE "(^|, )$d( |,|$)" <<<"$depends" || fail "no dependency on $d: $depends"
done
dpkg-deb -e "$deb" "$scratch/control"
grep -q 'setcap cap_net_admin+ep' "$scratch/control/postinst" || fail "postinst grants no cap_net_admin"
! grep -q 'systemctl enable' "$scratch/control/postinst" || fail "postinst enables the server"
grep -qx /etc/pellora/server.conf "$scratch/control/conffiles" || fail "configuration is no conffile"

# A real install, maintainer scripts included, into an empty dpkg root.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends,script-chrootless,not-root --log=/dev/null -i "$deb" >/dev/null
dpkg --root="$root" -s pellora | grep -qx 'Status: install ok installed' || fail "not installed"
grep -q "^ExecStart=/usr/bin/pellora-server --config /etc/pellora/server.conf" \
  "$root/usr/lib/systemd/system/pellora-server.service" || fail "unit path"
"$root/usr/bin/pellora" --version | grep -qx "pellora $version" || fail "installed client does not run"
[ "$(id -u)" != 0 ] || getcap "$root/usr/bin/pellora" | grep -q 'cap_net_admin[=+]ep' || fail "no cap_net_admin"
echo "package ok: $(basename "$deb")"
