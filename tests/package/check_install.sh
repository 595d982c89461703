#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop finds there.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
expect() { if [ -e "$prefix/$1" ]; then echo "ok: $1"; else echo "MISSING: $1"; fail=1; fi; }
expect bin/zyn_mouse
expect share/applications/zyn_mouse.desktop
expect share/icons/hicolor/32x32/apps/zyn_mouse.png
expect share/icons/hicolor/scalable/apps/zyn_mouse.svg
expect share/metainfo/net.zynmouse.zyn_mouse.metainfo.xml
expect share/man/man1/zyn_mouse.1
[ "$fail" = 0 ] || exit 1

file "$prefix/share/icons/hicolor/32x32/apps/zyn_mouse.png" | grep -q "32 x 32" || { echo "icon is not 32 x 32"; exit 1; }
grep -q '^Categories=AudioVideo;Audio;Midi;$' "$prefix/share/applications/zyn_mouse.desktop" || { echo "categories"; exit 1; }
desktop-file-validate "$prefix/share/applications/zyn_mouse.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/net.zynmouse.zyn_mouse.metainfo.xml"
# The manual renders, and names every section a user looks for.
page=$(MANWIDTH=100 man -l "$prefix/share/man/man1/zyn_mouse.1" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION "INPUTS AND NOTES" "MIDI BACK ENDS" FILES "EXIT STATUS"; do
  grep -q "^$section" <<<"$page" || { echo "manual lacks $section"; exit 1; }
done
grep -q "F2 (velocity 27)\|27 for F2" <<<"$page"
echo "install tree: all checks passed"
