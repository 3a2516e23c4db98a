#!/bin/sh
# SPDX-License-Identifier: MIT
# The hardened build and every test but the virtual machines: unit,
# simulated-board and real-peer tests, then those of the build options in a
# second build with both set. With "sanitize", the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer, but for the power cuts and
# the open of the default build's volume (its preset leaves them out: their
# time goes to the real cryptsetup, their paths of the program other cases
# run too).
# Usage: scripts/stage-build.sh [default|sanitize]
set -eu
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/deps.sh build

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" -LE vm --no-tests=error

# The integrator's two build options, both set, and escrow left out as in a
# plain configure: the tests of what they change (the default format command
# and --kdf beside it, the eMMC disk's listing, partitions and whole node and
# the disk a board names instead, volumes of either build opened by the real
# cryptsetup, the escrow stub's refusal).
if [ "$preset" = default ]; then
  cmake -S . -B build/options -DLOCKWARDEN_MINIMAL_KDF=ON -DLOCKWARDEN_MMC_DISK=/dev/mmcblk2 -DLOCKWARDEN_ESCROW=OFF
  cmake --build build/options -j2 --target lockwarden-tool boardsim keyring_test volume_test escrow_test
  ctest --test-dir build/options -j2 --output-on-failure --no-tests=error \
    -R 'sysfs_names|disk_word|keyring_format|format_and_open|longest_lines|volumes_of_either_build|escrow_stub|binary_hardening'
fi
