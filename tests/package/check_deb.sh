#!/usr/bin/env bash
# Builds the Debian package as Debian builds packages (dpkg-buildflags' hardening flags,
# build type None), installs it with apt as a user would, checks that the flags reached
# the program, starts it on the offscreen platform, and removes the package again.
# Needs root.
# Usage: check_deb.sh SOURCE_DIR BUILD_DIR (the package is built in BUILD_DIR/deb-hardened)
set -euo pipefail
src=$1
build=$2/deb-hardened
[ "$(id -u)" = 0 ] || { echo "check_deb: must run as root (it installs a package)"; exit 1; }
out=$(mktemp -d)
run=$(mktemp -d)
trap 'apt-get remove -y -qq zyn-mouse >/dev/null 2>&1 || true; rm -rf "$out" "$run"' EXIT
# dpkg-buildflags maps the directory it runs in out of the debug information.
flags() { (cd "$src" && dpkg-buildflags --get "$1"); }
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DZM_BUILD_TESTS=OFF -DZM_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$build" >"$out/build.log" 2>&1 || { tail -40 "$out/build.log"; exit 1; }
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/zyn-mouse_*.deb)
echo "built $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in libqt6widgets6 libjack libasound2 fonts-liberation2 qt6-qpa-plugins; do
  grep -q "$need" <<<"$depends" || { echo "missing dependency $need"; exit 1; }
done
recommends=$(dpkg-deb -f "$deb" Recommends)
echo "Recommends: $recommends"
grep -q qt6-wayland <<<"$recommends" || { echo "qt6-wayland not recommended (Wayland desktops)"; exit 1; }
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
test -x /usr/bin/zyn_mouse
# The flags in the program: the stack protector's failure call and fortified libc calls
# (Debian's compiler adds neither on its own).
imports=$(objdump -T /usr/bin/zyn_mouse)
grep -qw __stack_chk_fail <<<"$imports" || { echo "no stack protector in the packaged program"; exit 1; }
grep -qE '__(snprintf|fprintf|poll|memcpy|printf)_chk' <<<"$imports" \
  || { echo "no _FORTIFY_SOURCE calls in the packaged program"; exit 1; }
echo "hardening: stack protector and _FORTIFY_SOURCE in /usr/bin/zyn_mouse"
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
