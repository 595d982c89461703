#!/usr/bin/env bash
# Builds the Debian package, installs it with apt as a user would, starts the installed
# program on the offscreen platform, and removes the package again. Needs root.
# Usage: check_deb.sh BUILD_DIR
set -euo pipefail
build=$1
[ "$(id -u)" = 0 ] || { echo "check_deb: must run as root (it installs a package)"; exit 1; }
out=$(mktemp -d)
run=$(mktemp -d)
trap 'apt-get remove -y -qq zyn-mouse >/dev/null 2>&1 || true; rm -rf "$out" "$run"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/zyn-mouse_*.deb)
echo "built $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in libqt6widgets6 libjack libasound2 fonts-liberation2 qt6-qpa-plugins; do
  grep -q "$need" <<<"$depends" || { echo "missing dependency $need"; exit 1; }
done
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
test -x /usr/bin/zyn_mouse
test -f /usr/share/applications/zyn_mouse.desktop
# Started as installed, it must come up and keep running until told to stop.
XDG_RUNTIME_DIR=$run QT_QPA_PLATFORM=offscreen /usr/bin/zyn_mouse >"$run/log" 2>&1 &
pid=$!
sleep 2
if ! kill -0 "$pid" 2>/dev/null; then
  echo "the installed program did not keep running:"; cat "$run/log"; exit 1
fi
kill "$pid"; wait "$pid" 2>/dev/null || true
echo "deb: built, installed, started and removed"
