#!/bin/sh
# SPDX-License-Identifier: MIT
# The program's main job on a simulated board: store a new random volume key
# as a key blob, LUKS-format a disk image with it, and open the image in a
# fresh run with the key recovered from the blob, using the real cryptsetup.
#
# The board (fuses, key blob device, eMMC with a "safe" partition, fdisk) is
# the board simulator under sim/. This machine has no device-mapper to map a
# volume, so "open" runs as cryptsetup's own --test-passphrase check: the
# real LUKS header still decides whether the key is right.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/deps.sh demo
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/demo -j2 --target lockwarden-tool boardsim >/dev/null
tool="$top/build/demo/lockwarden-tool"
sim="$top/build/demo/sim/libboardsim.so"

# Short: the image path goes into 63-character cryptsetup command lines.
board=$(mktemp -d /tmp/lwXXXXXX)
trap 'rm -rf "$board"' EXIT
mkdir -p "$board/proc" "$board/sbin" "$board/dev" "$board/sys/fsl_otp"
echo "console=ttymxc0,115200 root=/dev/mmcblk0p2 rootwait rw" > "$board/proc/cmdline"
cp tests/data/fdisk/gpt-safe-p4.txt "$board/sbin/fdisk.txt"
printf '#!/bin/sh\ncat "%s/sbin/fdisk.txt"\n' "$board" > "$board/sbin/fdisk"
chmod +x "$board/sbin/fdisk"
truncate -s 1M "$board/dev/mmcblk0p4"
echo 0x1f2e3d4c > "$board/sys/fsl_otp/HW_OCOTP_MAC0"
echo 0x5b6a > "$board/sys/fsl_otp/HW_OCOTP_MAC1"
echo "secret demo-board" > "$board/dev/caam_kb"
ln -s /dev/urandom "$board/dev/urandom"
image="$board/d.img"
truncate -s 32M "$image"

run() {
  echo "\$ lockwarden-tool $*"
  status=0
  env PATH="$top/tests/peer:$PATH" LD_PRELOAD="$sim" BOARD_SIM_ROOT="$board" "$tool" "$@" || status=$?
  echo "(exit status $status)"
  [ "$status" -eq 0 ]
}

echo "== 1. Provisioning: a new random key, stored only as a key blob in the 'safe' partition"
run -n
echo "key blob at offset 0 of /dev/mmcblk0p4 (80 bytes, bound to this board):"
od -A d -t x1 -N 80 "$board/dev/mmcblk0p4"
echo
echo "== 2. First boot: LUKS-format the data partition with the key, then open it"
run -f "$image" cryptdata
echo
echo "== 3. Every boot: open it again, the key recovered from the key blob"
run "$image" cryptdata
echo
echo "== 4. The LUKS header cryptsetup wrote:"
cryptsetup luksDump "$image" | sed -n '1,12p'
echo
echo "== 5. On a board with other fuses the key blob does not open:"
echo 0x1 > "$board/sys/fsl_otp/HW_OCOTP_MAC0"
run "$image" cryptdata || true
