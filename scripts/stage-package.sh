#!/bin/sh
# What a user of the program gets: the manual page (linted and rendered), the
# install rules (into a DESTDIR), the Debian package (built with cpack,
# installed with dpkg, run, removed) and the example systemd unit (verified
# with systemd-analyze against the installed program and manual page).
# Changes the system: installs and then removes the package lockwarden-tool.
# Usage: scripts/stage-package.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build package

build=build/pkg
step() { echo "--- $*"; }

mkdir -p "$build"
step "manual page: mandoc -T lint, man -l"
mandoc -T lint -W style man/lockwarden-tool.8
# --warnings passes groff's warnings on; any output on stderr fails.
MANWIDTH=80 man --warnings -l man/lockwarden-tool.8 >"$build/man.txt" 2>"$build/man.err" || {
  cat "$build/man.err"; exit 1; }
if [ -s "$build/man.err" ]; then cat "$build/man.err"; exit 1; fi
for section in SYNOPSIS OPTIONS "EXIT STATUS" FILES "PROVISIONING A BOARD" SECURITY; do
  grep -q "^$section" "$build/man.txt" || { echo "rendered page lacks $section"; exit 1; }
done

step "build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target lockwarden-tool -j2

step "cmake --install into a DESTDIR"
destdir="$(pwd)/$build/destdir"
rm -rf "$destdir"
DESTDIR="$destdir" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/sbin/lockwarden-tool usr/share/man/man8/lockwarden-tool.8; do
  [ -f "$destdir/$f" ] || { echo "cmake --install did not install /$f"; exit 1; }
done
[ -x "$destdir/usr/sbin/lockwarden-tool" ] || { echo "/usr/sbin/lockwarden-tool not executable"; exit 1; }
echo "installed: $(cd "$destdir" && find . -type f | sort | tr '\n' ' ')"

step "cpack -G DEB"
rm -f "$build"/lockwarden-tool_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lockwarden-tool_*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Section\|Depends\|Maintainer\):/&/p'
dpkg-deb -f "$deb" Section | grep -qx admin
dpkg-deb -f "$deb" Depends | grep -q 'cryptsetup-bin'
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
contents=$(dpkg-deb -c "$deb")
for f in ./usr/sbin/lockwarden-tool ./usr/share/man/man8/lockwarden-tool.8 \
         ./usr/share/doc/lockwarden-tool/examples/lockwarden-open.service; do
  printf '%s\n' "$contents" | grep -q " $f\$" || { echo "package lacks $f"; exit 1; }
done

step "dpkg -i, run, systemd-analyze verify, dpkg -P"
# From here on the system is changed: remove the package on every way out.
trap 'dpkg -P lockwarden-tool >/dev/null 2>&1 || true' EXIT
# Minimal images exclude manual pages and documentation from installs
# (dpkg path-exclude); the checks below need them.
dpkg --path-include='/usr/share/man/man8/lockwarden-tool.8*' \
     --path-include='/usr/share/doc/lockwarden-tool/*' -i "$deb"
/usr/sbin/lockwarden-tool --help >"$build/help.txt"
head -1 "$build/help.txt" | grep -q '^Lockwarden command line tool' || {
  echo "installed lockwarden-tool --help printed:"; cat "$build/help.txt"; exit 1; }
echo "lockwarden-tool --help: exit 0"
man -w lockwarden-tool
sh tests/binary/check-hardening.sh /usr/sbin/lockwarden-tool
# Checks the unit's syntax, its ordering (no cycles), that ExecStart and
# ExecStop name executables, and that its Documentation= page exists.
systemd-analyze verify /usr/share/doc/lockwarden-tool/examples/lockwarden-open.service
echo "systemd-analyze verify: clean"
dpkg -P lockwarden-tool
trap - EXIT
[ ! -e /usr/sbin/lockwarden-tool ] || { echo "dpkg -P left /usr/sbin/lockwarden-tool"; exit 1; }

