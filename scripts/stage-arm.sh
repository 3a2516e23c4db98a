#!/bin/sh
# SPDX-License-Identifier: MIT
# Cross-builds the program, the board simulator and the tests for the boards'
# two ARM targets, 32-bit (armhf, i.MX 6/7) and 64-bit (arm64, i.MX 8), and
# runs their tests under qemu-user: the whole suite for armhf, whose 32-bit
# types and key blob request differ from the build machine's, and for arm64
# the tests of a real peer (the sealing runs the target's own libcrypto code;
# the program's other paths see the same 64-bit types as on x86-64). Both
# leave out the power cuts and the open of the default build's volume, whose
# time goes to the real cryptsetup under emulation and whose paths of the
# program other cases run too. The presets hold the choice (and arm64 builds
# only the test programs it runs).
# Usage: scripts/stage-arm.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build arm

for preset in armhf arm64; do
  echo "--- $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" --no-tests=error
done

# As Yocto and Buildroot build it: a toolchain file that names the compilers
# and nothing else, a plain configure, no tests, no qemu, no GoogleTest. The
# install must hold the program and its manual page, and the version the
# revision given on the command line.
echo "--- bare toolchain file, plain configure and install"
bare=build/arm-bare
rm -rf "$bare"
mkdir -p "$bare"
cat >"$bare/toolchain.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
TOOLCHAIN
cmake -S . -B "$bare/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$bare/toolchain.cmake" \
  -DCMAKE_INSTALL_PREFIX=/usr -DLOCKWARDEN_REVISION=board1 >/dev/null
cmake --build "$bare/build" -j2 >/dev/null
# A distribution's newer compiler must not fail on a new warning; the
# hardening flags stay on unless the build system brings its own.
flags=$(cat "$bare/build/CMakeFiles/lockwarden.dir/flags.make")
case "$flags" in *-Werror*) echo "stage-arm: a plain configure builds with -Werror" >&2; exit 1 ;; esac
case "$flags" in *-fstack-protector-strong*) ;; *) echo "stage-arm: a plain configure lacks the hardening flags" >&2; exit 1 ;; esac
DESTDIR="$PWD/$bare/root" cmake --install "$bare/build" >/dev/null
[ ! -e "$bare/build/tests" ] && [ ! -e "$bare/build/bench" ] && [ ! -e "$bare/build/sim" ] || {
  echo "stage-arm: a plain cross configure built host-only parts" >&2; exit 1; }
file "$bare/root/usr/sbin/lockwarden-tool" | grep -q 'ARM, EABI5' || {
  echo "stage-arm: the installed program is not an ARM executable" >&2; exit 1; }
grep -aq '1\.0\.0-board1' "$bare/root/usr/sbin/lockwarden-tool" || {
  echo "stage-arm: -DLOCKWARDEN_REVISION did not reach the version string" >&2; exit 1; }
(cd "$bare/root" && find . -type f | sort)

# A source tree unpacked inside another checkout (here: this one's build
# folder) must not take that checkout's revision.
echo "--- source tree inside another checkout"
mkdir -p "$bare/nested"
git archive HEAD | tar -x -C "$bare/nested"
cmake -S "$bare/nested" -B "$bare/nested-build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$bare/toolchain.cmake" >/dev/null
cmake --build "$bare/nested-build" -j2 >/dev/null
# Without a revision of its own the version is the release alone.
outer="1.0.0-$(git describe --always --dirty)"
grep -aq '1\.0\.0' "$bare/nested-build/lockwarden-tool" && ! grep -aqF "$outer" "$bare/nested-build/lockwarden-tool" || {
  echo "stage-arm: a nested source tree took the outer checkout's revision" >&2; exit 1; }
