#!/bin/sh
# SPDX-License-Identifier: MIT
# The program against a real kernel in QEMU: the x86-64 build on a PC, and the
# armhf build on a 32-bit ARM board (tests/vm). The two machines boot side by
# side, each emulated CPU a host thread, so that the stage takes the longer
# machine's time rather than the sum; the ARM board's log follows the PC's.
# Each machine runs even when the other fails, so that one run reports both.
# Usage: scripts/stage-vm.sh
set -u
cd "$(dirname "$0")/.."
scripts/deps.sh build vm || exit 1

# Each machine runs a minimal-KDF build of its own (presets vm and armhf-vm):
# the program and the board simulator, and the tests labelled vm.
pc=0
arm=0
{ cmake --preset vm && cmake --build --preset vm; } || pc=1
{ cmake --preset armhf-vm && cmake --build --preset armhf-vm; } || arm=1
arm_log=build/armhf-vm/stage-vm.log
if [ $arm -eq 0 ]; then
  ctest --preset armhf-vm >"$arm_log" 2>&1 &
  arm_pid=$!
fi
if [ $pc -eq 0 ]; then
  ctest --preset vm || pc=1
fi
if [ $arm -eq 0 ]; then
  wait "$arm_pid" || arm=1
  cat "$arm_log"
fi
[ $pc -eq 0 ] && [ $arm -eq 0 ]
