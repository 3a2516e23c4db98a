#!/bin/sh
# SPDX-License-Identifier: MIT
# What a user of the program gets: the manual page (linted and rendered), the
# install rules (into a DESTDIR), the documentation (its links, and the options
# of its lockwarden-tool commands against the built program), the recipes for
# board build systems (checked against the project, the Buildroot package
# with Buildroot's own check-package), the boot pieces (shellcheck, systemd-analyze verify), and
# the Debian packages for amd64, armhf and arm64 (built from a copy of the
# sources with dpkg-buildpackage, the ARM ones cross-built, all checked with
# lintian with the source package; the native one installed with dpkg, run,
# refused removal while a volume needs it in the initramfs, removed, purged).
# Leaves the packages in build/ (lockwarden-tool_*.deb).
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
# as distributions do: the boot pieces are generated with it.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DLOCKWARDEN_BUILD_TESTS=ON -DLOCKWARDEN_BUILD_BENCHMARKS=OFF -DLOCKWARDEN_WERROR=ON >/dev/null
cmake --build "$build" --target lockwarden-tool -j2

step "cmake --install into a DESTDIR"
destdir="$(pwd)/$build/destdir"
examples=$destdir/usr/share/doc/lockwarden-tool/examples
rm -rf "$destdir"
DESTDIR="$destdir" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/sbin/lockwarden-tool usr/share/man/man8/lockwarden-tool.8 \
         usr/share/doc/lockwarden-tool/examples/lockwarden-open@.service \
         usr/share/doc/lockwarden-tool/examples/lockwarden-open.init \
         usr/share/doc/lockwarden-tool/examples/60-lockwarden-caam-kb.rules \
         usr/share/doc/lockwarden-tool/examples/initramfs-init \
         usr/share/lockwarden-tool/lockwarden-conf.sh \
         usr/share/initramfs-tools/hooks/lockwarden-tool \
         usr/share/initramfs-tools/scripts/local-top/lockwarden-tool; do
  [ -f "$destdir/$f" ] || { echo "cmake --install did not install /$f"; exit 1; }
done
[ -x "$destdir/usr/sbin/lockwarden-tool" ] || { echo "/usr/sbin/lockwarden-tool not executable"; exit 1; }
installed=$(cd "$destdir" && find . ! -type d | sed 's/^\.//' | sort)
echo "installed: $(printf '%s\n' "$installed" | tr '\n' ' ')"
# The boot pieces name the program where the prefix put it, nowhere else.
grep -q 'exec /usr/sbin/lockwarden-tool "\$\$DEVICE" ' "$examples/lockwarden-open@.service"
grep -q '^TOOL="/usr/sbin/lockwarden-tool"$' "$examples/lockwarden-open.init"
for f in hooks/lockwarden-tool scripts/local-top/lockwarden-tool; do
  grep -q '^TOOL="/usr/sbin/lockwarden-tool"$' "$destdir/usr/share/initramfs-tools/$f"
done

step "cmake --install --prefix: another prefix than the configured one"
# The boot pieces are written again for the prefix of the install.
elsewhere="$(pwd)/$build/elsewhere"
rm -rf "$elsewhere"
cmake --install "$build" --prefix "$elsewhere" >/dev/null
[ -x "$elsewhere/sbin/lockwarden-tool" ]
grep -qF "exec $elsewhere/sbin/lockwarden-tool " "$elsewhere/share/doc/lockwarden-tool/examples/lockwarden-open@.service"
for f in doc/lockwarden-tool/examples/lockwarden-open.init initramfs-tools/hooks/lockwarden-tool \
         initramfs-tools/scripts/local-top/lockwarden-tool; do
  grep -qx "TOOL=\"$elsewhere/sbin/lockwarden-tool\"" "$elsewhere/share/$f" || {
    echo "$elsewhere/share/$f does not name $elsewhere/sbin/lockwarden-tool"; exit 1; }
done
echo "the unit, the init script and the initramfs-tools pieces name $elsewhere/sbin/lockwarden-tool"

step "recipes: Yocto, Buildroot, Debian against LICENSE, version, options and install rules"
ctest --test-dir "$build" -R '^packaging_recipes$' --no-tests=error --output-on-failure

step "documentation: relative links, and lockwarden-tool commands against the built program's options"
sh tests/packaging/check-docs.sh "$build/lockwarden-tool" README.md docs/*.md
# It finds what it is there for: a made-up option, alone and bundled after a
# real one, a link to no file and one to no heading.
control=$build/docs-control
rm -rf "$control"
mkdir -p "$control"
printf '%s\n' '# Control' '' 'See [nothing](missing.md) and [a heading](#no-such-heading).' '' '```sh' \
  'lockwarden-tool --frobnicate /dev/mmcblk0p3 cryptdata' 'lockwarden-tool -fh /dev/mmcblk0p3 cryptdata' '```' \
  >"$control/control.md"
if sh tests/packaging/check-docs.sh "$build/lockwarden-tool" "$control/control.md" >"$control/out"; then
  cat "$control/out"; echo "the documentation check passed a made-up option and broken links"; exit 1
fi
for finding in "control.md:3: link to missing.md: no such file" "control.md:3: link to #no-such-heading: no such heading" \
  "control.md:6: lockwarden-tool does not take --frobnicate" "control.md:7: lockwarden-tool does not take -h"; do
  grep -qxF "$control/$finding" "$control/out" || {
    cat "$control/out"; echo "the documentation check did not report $finding"; exit 1; }
done
echo "a made-up option and broken links fail the check"

step "Buildroot package: utils/check-package"
# Buildroot's own linter, from a Buildroot tree in build/buildroot (its utils/
# is enough). The stage fetches nothing: CI machines reach Debian's archive
# alone, so without the tree the step says so and the recipe check above
# stands for the package's form.
buildroot=build/buildroot
if [ -f "$buildroot/utils/check-package" ]; then
  # Debian's python3 with python3-magic and flake8, whatever python3 PATH finds.
  top=$(pwd)
  (cd contrib/buildroot && /usr/bin/python3 "$top/$buildroot/utils/check-package" -b lockwarden-tool/* 2>&1) |
    tee "$build/check-package.log"
  grep -qx '0 warnings generated' "$build/check-package.log"
else
  echo "skipped: no Buildroot tree in $buildroot (copy a Buildroot checkout's utils/ there to run it)"
fi

step "boot pieces: sh -n and shellcheck of the init script, the initramfs /init and initramfs-tools scripts"
for f in "$examples/lockwarden-open.init" "$examples/initramfs-init" \
  "$destdir"/usr/share/initramfs-tools/hooks/lockwarden-tool \
  "$destdir"/usr/share/initramfs-tools/scripts/local-top/lockwarden-tool \
  "$destdir"/usr/share/lockwarden-tool/lockwarden-conf.sh debian/lockwarden-tool.prerm; do
  sh -n "$f"
  shellcheck -x "$f"
done
echo "clean"

step "boot pieces: the init script on a file tree of its own"
# Its paths moved below $t, the program and cryptsetup replaced by loggers;
# $t/blk is a block device node that nothing opens.
t="$(pwd)/$build/init-test"
rm -rf "$t"
mkdir -p "$t/etc/lockwarden" "$t/default" "$t/mapper" "$t/bin"
mknod "$t/blk" b 7 250
sed -e "s|/etc/lockwarden|$t/etc/lockwarden|g" -e "s|/etc/default/|$t/default/|g" \
    -e "s|/dev/mapper/|$t/mapper/|g" -e "s|^TOOL=.*|TOOL=$t/bin/tool|" \
    -e "s|/usr/share/lockwarden-tool/|$destdir/usr/share/lockwarden-tool/|" \
    "$examples/lockwarden-open.init" >"$t/init"
# shellcheck disable=SC2016
printf '#!/bin/sh\necho "$0 $*" >>%s/calls\n' "$t" >"$t/bin/tool"
cp "$t/bin/tool" "$t/bin/cryptsetup"
chmod +x "$t/bin/tool" "$t/bin/cryptsetup"
printf '# the data partition\n  DEVICE=%s/blk  \nTIMEOUT=1\nMOUNTPOINT=/data\n' "$t" >"$t/etc/lockwarden/data.conf"
printf 'DEVICE=%s/blk\nINITRAMFS=yes\n' "$t" >"$t/etc/lockwarden/root.conf"
printf 'DEVICE=%s/gone\nTIMEOUT=0\n' "$t" >"$t/etc/lockwarden/late.conf"
printf 'DEVICE=%s/blk\nTIMEOUT=soon\n' "$t" >"$t/etc/lockwarden/typo.conf"
printf 'DEVICE=%s/blk\n' "$t" >"$t/etc/lockwarden/-x.conf"
printf 'DEVICE=%s/blk\nNAME=data\n' "$t" >"$t/default/lockwarden-open"
touch "$t/mapper/root"
# run EXPECTED_STATUS ARGUMENT EXPECTED_CALLS: one run, its calls compared.
run() {
  rm -f "$t/calls"
  status=0
  PATH="$t/bin:$PATH" sh "$t/init" "$2" >"$t/out" 2>&1 || status=$?
  calls=$(sed "s|^$t/bin/||" "$t/calls" 2>/dev/null || true)
  if [ "$status" -ne "$1" ] || [ "$calls" != "$3" ]; then
    cat "$t/out"; echo "init $2: status $status, calls '$calls'; expected $1, '$3'"; exit 1
  fi
}
# data once (in both places, blanks around the line), root already open,
# late not there in time, typo and -x refused: status 1.
run 1 start "tool $t/blk data"
grep -qx "lockwarden-open: $t/gone did not appear in 0 s" "$t/out"
grep -qx "lockwarden-open: typo: TIMEOUT=soon is not a number of seconds" "$t/out"
grep -qx "lockwarden-open: $t/etc/lockwarden/-x.conf: '-x' is not a mapped name the program accepts" "$t/out"
rm "$t/etc/lockwarden/late.conf" "$t/etc/lockwarden/typo.conf" "$t/etc/lockwarden/-x.conf"
touch "$t/mapper/data"
# The initramfs's volume stays open at stop.
run 0 stop "cryptsetup close data"
# /etc/default/lockwarden-open alone still opens its volume.
rm -r "$t/etc/lockwarden" "$t/mapper/data"
printf 'DEVICE=%s/blk\nNAME=legacy\n' "$t" >"$t/default/lockwarden-open"
run 0 start "tool $t/blk legacy"
echo "opened once, skipped when open, refused when unusable, kept at stop"

step "dpkg-buildpackage: amd64, armhf and arm64 (cross)"
# From a copy: the build never sees build/ or .git, writes nothing into the
# work tree, and its outputs (written next to the source folder) land in
# build/. The copy has no git work tree: the version text is
# debian/changelog's. The three builds share the copy: each has its own
# obj-TRIPLET folder, and debian/rules clean runs before each. The source
# package, made first, is for lintian.
version=$(sed -n '1s/^lockwarden-tool (\([^)]*\)).*/\1/p' debian/changelog)
copy=build/lockwarden-tool-$version
rm -rf "$copy" build/lockwarden-tool_* build/lockwarden-tool-dbgsym_*
mkdir -p "$copy"
tar -c --exclude=./build --exclude=./.git . | tar -x -C "$copy"
(cd build && dpkg-source -b "${copy#build/}" >/dev/null)
native=$(dpkg --print-architecture)
debs=""
for arch in "$native" armhf arm64; do
  cross=""
  [ "$arch" = "$native" ] || cross="-a$arch"
  started=$(date +%s)
  # nocheck: the build stage has just run the whole suite on these sources
  # (and the arm stage under qemu-user); here only what packaging adds is
  # checked.
  (cd "$copy" && DEB_BUILD_OPTIONS="nocheck parallel=2" \
    dpkg-buildpackage -b -us -uc -Pnocheck ${cross:+"$cross"} >"../dpkg-buildpackage-$arch.log" 2>&1) || {
    tail -40 "build/dpkg-buildpackage-$arch.log"; exit 1; }
  deb=build/lockwarden-tool_${version}_$arch.deb
  echo "built $deb in $(($(date +%s) - started)) s"
  dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Section\|Depends\|Maintainer\):/&/p'
  dpkg-deb -f "$deb" Version | grep -qx "$version"
  dpkg-deb -f "$deb" Architecture | grep -qx "$arch"
  dpkg-deb -f "$deb" Depends | grep -q 'cryptsetup-bin'
  dpkg-deb -f "$deb" Depends | grep -q 'libc6'
  debs="$debs $deb"
done
rm -rf "$copy"
# The cross-built programs are ARM executables, as hardened as the native one.
for arch in armhf arm64; do
  rm -rf "$build/unpacked-$arch"
  dpkg-deb -x "build/lockwarden-tool_${version}_$arch.deb" "$build/unpacked-$arch"
done
file "$build/unpacked-armhf/usr/sbin/lockwarden-tool" | grep -q 'ELF 32-bit LSB pie executable, ARM, EABI5'
file "$build/unpacked-arm64/usr/sbin/lockwarden-tool" | grep -q 'ELF 64-bit LSB pie executable, ARM aarch64'
for arch in armhf arm64; do
  sh tests/binary/check-hardening.sh --escrow "$build/unpacked-$arch/usr/sbin/lockwarden-tool" >"$build/hardening-$arch.txt" || {
    cat "$build/hardening-$arch.txt"; exit 1; }
done
echo "armhf and arm64: ARM executables, hardened"

step "lintian --fail-on error,warning"
# One run for the three and the source package: lintian's start-up is most
# of its time.
# shellcheck disable=SC2086
lintian --fail-on error,warning --display-info "build/lockwarden-tool_$version.dsc" $debs
echo "lintian: no errors, no warnings"

step "package contents = cmake --install + Debian's own files"
# The unit and the udev rule where systemd and udev read them, not as
# examples. Compressed as Debian policy wants: the manual page and README.
# The listing is taken whole: a reader that stops early (grep -q) breaks
# dpkg-deb's pipe.
expected=$(printf '%s\n' "$installed" |
  sed -e 's|^/usr/share/doc/lockwarden-tool/examples/\(lockwarden-open@.service\)$|/lib/systemd/system/\1|' \
      -e 's|^/usr/share/doc/lockwarden-tool/examples/\(60-lockwarden-caam-kb.rules\)$|/lib/udev/rules.d/\1|' | sort)
for deb in $debs; do
  contents=$(dpkg-deb -c "$deb")
  packaged=$(printf '%s\n' "$contents" | awk '$1 !~ /^d/ { print $6 }' | sed -e 's/^\.//' -e 's/\.gz$//' |
    grep -v -x -e /usr/share/doc/lockwarden-tool/copyright -e /usr/share/doc/lockwarden-tool/changelog \
      -e /usr/share/doc/lockwarden-tool/README.md -e /usr/share/lintian/overrides/lockwarden-tool | sort)
  if [ "$packaged" != "$expected" ]; then
    echo "$deb holds:"; printf '%s\n' "$packaged"
    echo "expected:"; printf '%s\n' "$expected"
    exit 1
  fi
  printf '%s\n' "$contents" | grep -q ' ./usr/share/man/man8/lockwarden-tool.8.gz$'
  printf '%s\n' "$contents" | grep -q ' ./usr/share/doc/lockwarden-tool/copyright$'
  echo "$deb: same files"
done

step "dpkg -i, run, systemd-analyze verify, refused removal, dpkg -r, dpkg -P"
deb=build/lockwarden-tool_${version}_$native.deb
conf=/etc/lockwarden/lockwarden-package-stage.conf
confdir_made=0
[ -d /etc/lockwarden ] || confdir_made=1
# From here on the system is changed: undo it on every way out.
undo() {
  rm -f "$conf"
  [ "$confdir_made" -eq 0 ] || rmdir /etc/lockwarden 2>/dev/null || true
  dpkg -P lockwarden-tool >/dev/null 2>&1 || true
}
trap undo EXIT
# Minimal images exclude manual pages and documentation from installs
# (dpkg path-exclude); the checks below need them.
install_deb() {
  dpkg --path-include='/usr/share/man/man8/lockwarden-tool.8*' \
       --path-include='/usr/share/doc/lockwarden-tool/*' -i "$deb"
}
install_deb
/usr/sbin/lockwarden-tool --help >"$build/help.txt"
head -1 "$build/help.txt" | grep -q '^Lockwarden command line tool' || {
  echo "installed lockwarden-tool --help printed:"; cat "$build/help.txt"; exit 1; }
grep -xF "Version: $version" "$build/help.txt"
/usr/sbin/lockwarden-tool --version | grep -xF "lockwarden-tool $version"
man -w lockwarden-tool
grep -q 'MIT' /usr/share/doc/lockwarden-tool/copyright
sh tests/binary/check-hardening.sh --escrow /usr/sbin/lockwarden-tool
listed=$(dpkg -L lockwarden-tool)
for f in /lib/systemd/system/lockwarden-open@.service /lib/udev/rules.d/60-lockwarden-caam-kb.rules; do
  printf '%s\n' "$listed" | grep -qx "$f" || { echo "the package does not install $f"; exit 1; }
done
# A template, enabled per volume by the administrator, never by the package.
systemctl is-enabled lockwarden-open@data.service | grep -x disabled
# Checks the template unit's syntax (instantiated as lockwarden-open@i), its
# ordering (no cycles), that ExecStart and ExecStop name executables, and
# that its Documentation= page exists. Any output is a finding.
systemd-analyze verify /lib/systemd/system/lockwarden-open@.service >"$build/verify.log" 2>&1 || {
  cat "$build/verify.log"; exit 1; }
if [ -s "$build/verify.log" ]; then cat "$build/verify.log"; exit 1; fi
echo "systemd-analyze verify: clean"
# A volume the initramfs opens holds the package; an upgrade (here the same
# version again) goes on.
mkdir -p /etc/lockwarden
printf '# the root file system\nDEVICE="/dev/mmcblk0p3"\nINITRAMFS="yes"\n' >"$conf"
if dpkg --remove lockwarden-tool >"$build/remove.log" 2>&1; then
  cat "$build/remove.log"; echo "dpkg --remove went on with INITRAMFS=yes in $conf"; exit 1
fi
cat "$build/remove.log"
grep -qxF "lockwarden-tool: remove $conf or set INITRAMFS=no in it, then remove the package." "$build/remove.log"
dpkg-query -W -f '${db:Status-Status}\n' lockwarden-tool | grep -x installed
install_deb >/dev/null
sed -i 's/^INITRAMFS=.*/INITRAMFS=no/' "$conf"
dpkg --remove lockwarden-tool
# Removed, nothing is left to purge: the purge is shown on an installed
# package, /etc/lockwarden empty.
rm "$conf"
install_deb >/dev/null
dpkg --purge lockwarden-tool
trap - EXIT
undo
if dpkg-query -W lockwarden-tool >/dev/null 2>&1; then echo "dpkg -P left lockwarden-tool known to dpkg"; exit 1; fi
for f in /usr/sbin/lockwarden-tool /lib/systemd/system/lockwarden-open@.service /usr/share/lockwarden-tool; do
  [ ! -e "$f" ] || { echo "dpkg -P left $f"; exit 1; }
done
echo "refused while $conf said INITRAMFS=yes, upgraded, removed once it said no; purged"
