#!/bin/sh
# SPDX-License-Identifier: MIT
# The cost of an unlock, for the two key derivations of --kdf: two LUKS
# volumes are formatted by the real cryptsetup, one with the format command
# of --kdf=default (cryptsetup's own defaults: LUKS2, argon2id calibrated on
# this machine), one with that of --kdf=minimal (PBKDF2, 1000 iterations).
# Each is opened RUNS times through the program on a simulated eMMC board
# (the open command is the same for both), and as often with cryptsetup
# alone doing the same work (isLuks, then open with a key file),
# alternately. Prints side by side the mean wall time of each, their ratio
# and the peak resident memory of each (of the largest process: the program
# or a child it started), then the program's own share. Figures only;
# nothing is asserted.
# Needs root (cryptsetup), and a build for the default disk /dev/mmcblk0
# (cmake --preset default).
# Without device-mapper (a container), "open" becomes "open --test-passphrase"
# for both, through the same wrapper: the key is derived and checked against
# the keyslot as for a real open, but no mapping is made.
# Usage: bench/unlock.sh [BUILD_DIR] [RUNS]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/default}
runs=${2:-5}
tool="$(pwd)/$build/lockwarden-tool"
sim="$(pwd)/$build/sim/libboardsim.so"
stats="$(pwd)/$build/bench/run_stats"
for f in "$tool" "$sim" "$stats"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "unlock.sh: $f missing: cmake --preset default && cmake --build --preset default" >&2; exit 2; }
done
real=$(command -v cryptsetup || true)
[ -n "$real" ] || real=/usr/sbin/cryptsetup
[ -x "$real" ] || { echo "unlock.sh: no cryptsetup (apt-get install cryptsetup-bin)" >&2; exit 2; }

work=$(mktemp -d /tmp/lwuXXXXXX)
name=lwb$$
image=$work/v
close_mapping() {
  if [ -e "/dev/mapper/$name" ]; then "$real" close "$name"; fi
}
cleanup() {
  close_mapping 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The eMMC board of bench/footprint.sh: fuses, key blob device, a GPT
# listing from BusyBox fdisk naming partition 4 "safe".
board=$work/b
mkdir -p "$board/proc" "$board/sbin" "$board/dev" "$board/sys/fsl_otp" "$work/bin"
echo "root=/dev/mmcblk0p2 rootwait" >"$board/proc/cmdline"
cp tests/data/fdisk/gpt-safe-p4.txt "$board/sbin/fdisk.txt"
printf '#!/bin/sh\ncat "%s/sbin/fdisk.txt"\n' "$board" >"$board/sbin/fdisk"
chmod +x "$board/sbin/fdisk"
truncate -s 1M "$board/dev/mmcblk0p4"
echo 0x1 >"$board/sys/fsl_otp/HW_OCOTP_MAC0"
echo 0x2 >"$board/sys/fsl_otp/HW_OCOTP_MAC1"
echo "secret bench" >"$board/dev/caam_kb"
ln -s /dev/urandom "$board/dev/urandom"

# One key, stored on the board as its key blob and kept in a file for the
# cryptsetup-only open.
head -c 32 /dev/urandom >"$work/key"
env LD_PRELOAD="$sim" BOARD_SIM_ROOT="$board" "$tool" -n"$(base64 -w0 "$work/key")" >/dev/null

# The format commands of --kdf=default and --kdf=minimal, on the real cryptsetup.
truncate -s 64M "$image" "$image.min"
echo "formatting with cryptsetup $("$real" --version | cut -d' ' -f2)..."
"$real" -q -h sha256 -d "$work/key" luksFormat "$image"
"$real" -q -h sha256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 -d "$work/key" luksFormat "$image.min"
for i in "$image" "$image.min"; do
  echo "  $(basename "$i"): $("$real" luksDump "$i" | sed -n 's/^\t\(PBKDF\|Time cost\|Iterations\|Memory\|Threads\):[[:space:]]*/\1 /p' | sort -u | paste -sd, -)"
done

if "$real" -d "$work/key" open --type luks "$image.min" "$name" 2>/dev/null; then
  mode="real open and close (dm-crypt mapping made)"
  "$real" close "$name"
  printf '#!/bin/sh\nexec %s "$@"\n' "$real" >"$work/bin/cryptsetup"
else
  mode="open --test-passphrase (no device-mapper here: key derived and checked, no mapping)"
  # shellcheck disable=SC2016 # the wrapper's own variables
  printf '#!/bin/sh\nout=""\nfor a in "$@"; do\n  case "$a" in open) out="$out open --test-passphrase" ;; *) out="$out $a" ;; esac\ndone\nexec %s $out\n' "$real" >"$work/bin/cryptsetup"
fi
chmod +x "$work/bin/cryptsetup"
export PATH="$work/bin:$PATH"
echo "mode: $mode"

# One open: sets ms (wall time) and kib (peak RSS), from run_stats.
measure() {
  line=$("$stats" 1 "$@") || {
    echo "unlock.sh: the open failed: $*" >&2
    env "$@" >&2 || true
    exit 1
  }
  ms=${line%% ms*}
  kib=$(echo "$line" | sed -n 's/.*peak RSS \([0-9]*\) KiB.*/\1/p')
  close_mapping
}
mean() { echo "$1" | awk '{ s = 0; for (i = 1; i <= NF; i++) s += $i; printf "%.1f", s / NF }'; }
# RUNS alternate opens of one volume; sets tool_mean, tool_kib, alone_mean, alone_kib.
compare() {
  tool_ms=""
  tool_kib=0
  alone_ms=""
  alone_kib=0
  i=0
  while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    measure LD_PRELOAD="$sim" BOARD_SIM_ROOT="$board" "$tool" "$1" "$name"
    tool_ms="$tool_ms $ms"
    [ "$kib" -gt "$tool_kib" ] && tool_kib=$kib
    line_tool=$ms
    # shellcheck disable=SC2016 # the inner shell's own arguments
    measure sh -c 'cryptsetup isLuks "$1" && cryptsetup -d "$2" open --type luks "$1" "$3"' sh "$1" "$work/key" "$name"
    alone_ms="$alone_ms $ms"
    [ "$kib" -gt "$alone_kib" ] && alone_kib=$kib
    echo "  $(basename "$1") run $i: program $line_tool ms, cryptsetup alone $ms ms"
  done
  tool_mean=$(mean "$tool_ms")
  alone_mean=$(mean "$alone_ms")
}
row() {
  printf '%-22s %10s ms %9s KiB   %10s ms %9s KiB   %6s\n' "$1" "$tool_mean" "$tool_kib" "$alone_mean" "$alone_kib" \
    "$(awk -v t="$tool_mean" -v a="$alone_mean" 'BEGIN { printf "%.2f", t / a }')"
}
compare "$image"
default_row=$(row "argon2id (default)")
compare "$image.min"
minimal_row=$(row "pbkdf2 1000 (minimal)")
echo
echo "mean over $runs runs; peak RSS of the largest process"
printf '%-22s %27s   %27s   %6s\n' "header" "through lockwarden-tool" "cryptsetup alone (isLuks, open)" "ratio"
echo "$default_row"
echo "$minimal_row"
echo "goal for the minimal-KDF open: ratio at most 2, peak at most 16384 KiB: ratio $(awk -v t="$tool_mean" -v a="$alone_mean" 'BEGIN { printf "%.2f", t / a }'), peak $tool_kib KiB"

# What the program adds, without the key derivation: the same board with a
# cryptsetup that only reads the key.
printf '#!/bin/sh\ncase "$*" in *open*) cat >/dev/null ;; esac\nexit 0\n' >"$work/bin/cryptsetup"
echo "the program's own share (a cryptsetup that only reads the key): $("$stats" 20 LD_PRELOAD="$sim" BOARD_SIM_ROOT="$board" "$tool" "$image" "$name")"
