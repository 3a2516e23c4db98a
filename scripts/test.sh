#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what is missing, builds and runs the whole test suite.
# Usage: scripts/test.sh [STAGE...]   (default: every stage, in this order)
#   build     hardened build; unit, simulated-board and real-peer tests (CTest)
#   sanitize  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   valgrind  in-process tests and every program run under valgrind memcheck
#   arm       cross builds for armhf and arm64, tests under qemu-user
#   fuzz      libFuzzer targets, a bounded time each
#   analyse   clang-tidy and cppcheck
#   package   man page, install rules, Yocto and Buildroot recipes, boot pieces,
#             .debs for the build machine, armhf and arm64
#   vm        the program against a real kernel in QEMU: x86-64 PC, 32-bit ARM board
# Each stage is scripts/stage-STAGE.sh: it installs its packages
# (scripts/deps.sh), builds what it needs and runs its checks.
set -u
cd "$(dirname "$0")/.."

ALL_STAGES="build sanitize valgrind arm fuzz analyse package vm"
STAGES="${*:-$ALL_STAGES}"

for stage in $STAGES; do
  if [ ! -x "scripts/stage-$stage.sh" ]; then
    echo "test.sh: unknown stage $stage (stages: $ALL_STAGES)" >&2
    exit 2
  fi
done

passed=0
failed=0
failed_names=""
for stage in $STAGES; do
  echo "=== stage $stage ==="
  start=$(date +%s)
  if "scripts/stage-$stage.sh"; then
    passed=$((passed + 1))
    echo "=== stage $stage: passed in $(($(date +%s) - start)) s ==="
  else
    failed=$((failed + 1))
    failed_names="$failed_names $stage"
    echo "=== stage $stage: FAILED in $(($(date +%s) - start)) s ==="
  fi
done
[ -n "$failed_names" ] && echo "failed stages:$failed_names"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
