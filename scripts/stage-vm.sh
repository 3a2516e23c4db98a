#!/bin/sh
# SPDX-License-Identifier: MIT
# The program against a real kernel in QEMU: the x86-64 build on a PC, and the
# armhf build on a 32-bit ARM board (tests/vm). The ARM machine runs even when
# the PC fails, so that one run reports both.
# Usage: scripts/stage-vm.sh
set -u
cd "$(dirname "$0")/.."
scripts/deps.sh build vm || exit 1

status=0
{ cmake --preset default && cmake --build --preset default && ctest --preset default -L vm --no-tests=error; } || status=1
# The armhf preset's own tests leave the virtual machine out.
{ cmake --preset armhf && cmake --build --preset armhf --target lockwarden-tool boardsim &&
  ctest --test-dir build/armhf -L vm --output-on-failure --no-tests=error; } || status=1
exit $status
