#!/bin/sh
# SPDX-License-Identifier: MIT
# The program against a real kernel in QEMU: the x86-64 build on a PC, and the
# armhf build on a 32-bit ARM board (tests/vm). The ARM machine runs even when
# the PC fails, so that one run reports both.
# Usage: scripts/stage-vm.sh
set -u
cd "$(dirname "$0")/.."
scripts/deps.sh build vm || exit 1

# Each machine runs a minimal-KDF build of its own (presets vm and armhf-vm):
# the program and the board simulator, and the tests labelled vm.
status=0
{ cmake --preset vm && cmake --build --preset vm && ctest --preset vm; } || status=1
{ cmake --preset armhf-vm && cmake --build --preset armhf-vm && ctest --preset armhf-vm; } || status=1
exit $status
