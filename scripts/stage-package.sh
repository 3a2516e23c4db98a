#!/bin/sh
# SPDX-License-Identifier: MIT
# What a user of the program gets: the manual page (linted and rendered), the
# install rules (into a DESTDIR), the recipes for board build systems, the
# example boot scripts, and the Debian package (built from a copy of the
# sources with dpkg-buildpackage, checked with lintian, installed with dpkg,
# run, removed). Leaves the package in build/ (lockwarden-tool_*.deb).
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
for section in SYNOPSIS OPTIONS "EXIT STATUS" FILES "PROVISIONING A BOARD" SECURITY NOTES VERSION; do
  grep -q "^$section" "$build/man.txt" || { echo "rendered page lacks $section"; exit 1; }
done

step "build"
# Tests on: the recipe check below is one of them. The prefix is given here,
# as distributions do: the example boot scripts are generated with it.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DLOCKWARDEN_BUILD_TESTS=ON -DLOCKWARDEN_BUILD_BENCHMARKS=OFF -DLOCKWARDEN_WERROR=ON >/dev/null
cmake --build "$build" --target lockwarden-tool -j2

step "cmake --install into a DESTDIR"
destdir="$(pwd)/$build/destdir"
rm -rf "$destdir"
DESTDIR="$destdir" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/sbin/lockwarden-tool usr/share/man/man8/lockwarden-tool.8 \
         usr/share/doc/lockwarden-tool/examples/lockwarden-open.service \
         usr/share/doc/lockwarden-tool/examples/lockwarden-open.init; do
  [ -f "$destdir/$f" ] || { echo "cmake --install did not install /$f"; exit 1; }
done
[ -x "$destdir/usr/sbin/lockwarden-tool" ] || { echo "/usr/sbin/lockwarden-tool not executable"; exit 1; }
installed=$(cd "$destdir" && find . ! -type d | sed 's/^\.//' | sort)
echo "installed: $(printf '%s\n' "$installed" | tr '\n' ' ')"
# The examples name the program where the prefix put it, nowhere else.
grep -q '^ExecStart=/usr/sbin/lockwarden-tool ' "$destdir/usr/share/doc/lockwarden-tool/examples/lockwarden-open.service"
grep -q '^TOOL="/usr/sbin/lockwarden-tool"$' "$destdir/usr/share/doc/lockwarden-tool/examples/lockwarden-open.init"

step "recipes: Yocto, Buildroot, Debian against LICENSE, version and install rules"
ctest --test-dir "$build" -L packaging --output-on-failure

step "example init script: sh -n, shellcheck"
sh -n "$destdir/usr/share/doc/lockwarden-tool/examples/lockwarden-open.init"
shellcheck "$destdir/usr/share/doc/lockwarden-tool/examples/lockwarden-open.init"
echo "clean"

step "dpkg-buildpackage"
# From a copy: the build never sees build/ or .git, writes nothing into the
# work tree, and its outputs (written next to the source folder) land in
# build/. The copy has no git work tree, so the revision is handed in.
version=$(sed -n '1s/^lockwarden-tool (\([^)]*\)).*/\1/p' debian/changelog)
copy=build/lockwarden-tool-$version
rm -rf "$copy" build/lockwarden-tool_* build/lockwarden-tool-dbgsym_*
mkdir -p "$copy"
tar -c --exclude=./build --exclude=./.git . | tar -x -C "$copy"
revision=$(git describe --always --dirty 2>/dev/null || echo unknown)
# nocheck: the build stage has just run the whole suite on these sources;
# here only what packaging adds is checked (below, on the installed package).
(cd "$copy" && LOCKWARDEN_REVISION="$revision" DEB_BUILD_OPTIONS="nocheck parallel=2" \
  dpkg-buildpackage -b -us -uc -Pnocheck >../dpkg-buildpackage.log 2>&1) || {
  tail -40 build/dpkg-buildpackage.log; exit 1; }
rm -rf "$copy"
deb=$(ls build/lockwarden-tool_"$version"_*.deb)
echo "built $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Section\|Depends\|Maintainer\):/&/p'
dpkg-deb -f "$deb" Version | grep -qx "$version"
dpkg-deb -f "$deb" Depends | grep -q 'cryptsetup-bin'
dpkg-deb -f "$deb" Depends | grep -q 'libc6'

step "lintian --fail-on error,warning"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no errors, no warnings"

step "package contents = cmake --install + Debian's own documents"
# Compressed as Debian policy wants: the manual page and README.
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed -e 's/^\.//' -e 's/\.gz$//' |
  grep -v -x -e /usr/share/doc/lockwarden-tool/copyright -e /usr/share/doc/lockwarden-tool/changelog \
    -e /usr/share/doc/lockwarden-tool/README.md | sort)
if [ "$packaged" != "$installed" ]; then
  echo "the package holds:"; printf '%s\n' "$packaged"
  echo "cmake --install installs:"; printf '%s\n' "$installed"
  exit 1
fi
dpkg-deb -c "$deb" | grep -q ' ./usr/share/man/man8/lockwarden-tool.8.gz$'
dpkg-deb -c "$deb" | grep -q ' ./usr/share/doc/lockwarden-tool/copyright$'
echo "same files"

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
grep "^Version: $(echo "$version" | sed 's/\./\\./g')-" "$build/help.txt"
echo "lockwarden-tool --help: exit 0"
man -w lockwarden-tool
grep -q 'MIT' /usr/share/doc/lockwarden-tool/copyright
sh tests/binary/check-hardening.sh /usr/sbin/lockwarden-tool
# Checks the unit's syntax, its ordering (no cycles), that ExecStart and
# ExecStop name executables, and that its Documentation= page exists.
systemd-analyze verify /usr/share/doc/lockwarden-tool/examples/lockwarden-open.service
echo "systemd-analyze verify: clean"
dpkg -P lockwarden-tool
trap - EXIT
[ ! -e /usr/sbin/lockwarden-tool ] || { echo "dpkg -P left /usr/sbin/lockwarden-tool"; exit 1; }

