#!/bin/sh
# SPDX-License-Identifier: MIT
# Footprint of the program: stripped size, NEEDED libraries, and the wall time
# and peak memory of an open on a simulated board against the same cryptsetup
# children started by a plain shell script, measured in one run.
# Usage: bench/footprint.sh [BUILD_DIR] [RUNS]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/default}
runs=${2:-200}
tool="$build/lockwarden-tool"
sim="$build/sim/libboardsim.so"
stats="$build/bench/run_stats"

work=$(mktemp -d /tmp/lwbenchXXXXXX)
trap 'rm -rf "$work"' EXIT

strip -o "$work/stripped" "$tool"
echo "stripped size: $(stat -c %s "$work/stripped") bytes (goal <= 65536)"
echo "NEEDED: $(readelf -d "$tool" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')(goal: libc.so.6 only)"

# A board with a stored key, and a cryptsetup that reads its input and exits.
board="$work/board"
mkdir -p "$board/proc" "$board/sbin" "$board/dev" "$board/sys/fsl_otp" "$work/bin"
echo "root=/dev/mmcblk0p2 rootwait" > "$board/proc/cmdline"
cp tests/data/fdisk/gpt-safe-p4.txt "$board/sbin/fdisk.txt"
printf '#!/bin/sh\ncat "%s/sbin/fdisk.txt"\n' "$board" > "$board/sbin/fdisk"
chmod +x "$board/sbin/fdisk"
truncate -s 1M "$board/dev/mmcblk0p4"
echo 0x1 > "$board/sys/fsl_otp/HW_OCOTP_MAC0"
echo 0x2 > "$board/sys/fsl_otp/HW_OCOTP_MAC1"
echo "secret bench" > "$board/dev/caam_kb"
ln -s /dev/urandom "$board/dev/urandom"
printf '#!/bin/sh\ncase "$*" in *open*) cat >/dev/null ;; esac\nexit 0\n' > "$work/bin/cryptsetup"
chmod +x "$work/bin/cryptsetup"
head -c 32 /dev/urandom > "$work/keyfile"

# The same board with raw NAND: the keyring is found in /proc/mtd, with no
# fdisk child.
nand="$work/nand"
cp -r "$board" "$nand"
rm -f "$nand/sbin/fdisk" "$nand/dev/mmcblk0p4"
echo "root=ubi0:rootfs" > "$nand/proc/cmdline"
printf 'dev:    size   erasesize  name\nmtd2: 00100000 00020000 "safe"\n' > "$nand/proc/mtd"
head -c 1048576 /dev/zero | tr '\0' '\377' > "$nand/dev/mtd2"
printf 'erasesize 131072\nwritesize 2048\n' > "$nand/dev/mtd2.nand"

export PATH="$work/bin:$PATH"
env LD_PRELOAD="$sim" BOARD_SIM_ROOT="$board" "$tool" -n
env LD_PRELOAD="$sim" BOARD_SIM_ROOT="$nand" "$tool" -n

echo "shell baseline (isLuks; open < keyfile):"
shell_line=$("$stats" "$runs" sh -c "cryptsetup isLuks /dev/x; cryptsetup -d - open --type luks /dev/x y < $work/keyfile")
echo "  $shell_line"
shell_ms=${shell_line%% ms*}
for kind in emmc nand; do
  root=$board
  [ "$kind" = nand ] && root=$nand
  echo "lockwarden-tool X Y ($kind board, simulated):"
  tool_line=$("$stats" "$runs" LD_PRELOAD="$sim" BOARD_SIM_ROOT="$root" "$tool" /dev/x y)
  echo "  $tool_line"
  tool_ms=${tool_line%% ms*}
  echo "  overhead: $(awk -v t="$tool_ms" -v s="$shell_ms" 'BEGIN { printf "%+.1f%%", (t / s - 1) * 100 }') of the shell baseline (goal within 10%)"
done
echo "the program alone (--help, no simulator):"
echo "  $("$stats" "$runs" "$tool" --help 2>/dev/null | tail -1)"
