#!/bin/sh
# Installs what is missing, builds and runs the whole test suite.
# Usage: scripts/test.sh [STAGE...]   (default: every stage, in this order)
#   build     hardened build, unit and simulated-board tests (CTest)
#   sanitize  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   valgrind  the program's simulated-board tests under valgrind memcheck
#   armhf     cross build for 32-bit ARM, tests under qemu-arm
#   fuzz      libFuzzer targets, a bounded time each
#   analyse   clang-tidy and cppcheck
#   package   man page, install rules, .deb, systemd unit
#   vm        the program against a real kernel in QEMU: x86-64 PC, 32-bit ARM board
set -u
cd "$(dirname "$0")/.."

ALL_STAGES="build sanitize valgrind armhf fuzz analyse package vm"
STAGES="${*:-$ALL_STAGES}"

scripts/deps.sh $STAGES || exit 1

stage_build() {
  cmake --preset default && cmake --build --preset default &&
    ctest --preset default -LE vm
}
stage_sanitize() {
  cmake --preset sanitize && cmake --build --preset sanitize &&
    ctest --preset sanitize -LE vm
}
stage_valgrind() { scripts/stage-valgrind.sh; }
stage_valgrind_unused() {
  cmake --preset default && cmake --build --preset default &&
    ctest --preset default -L simulated-board -T memcheck \
      --overwrite MemoryCheckCommandOptions="--leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --trace-children=no" &&
    scripts/check-memcheck.sh build/default
}
stage_armhf() { scripts/stage-armhf.sh; }
stage_fuzz() { scripts/stage-fuzz.sh "${FUZZ_SECONDS:-60}"; }
stage_analyse() { scripts/stage-analyse.sh; }
stage_package() { scripts/stage-package.sh; }
stage_vm() {
  vm_status=0
  { cmake --preset default && cmake --build --preset default && ctest --preset default -L vm; } ||
    vm_status=1
  # The armhf preset's own tests leave the virtual machine out.
  { cmake --preset armhf && cmake --build --preset armhf --target lockwarden-tool boardsim &&
    ctest --test-dir build/armhf -L vm --output-on-failure; } || vm_status=1
  return $vm_status
}

passed=0
failed=0
failed_names=""
for stage in $STAGES; do
  echo "=== stage $stage ==="
  if "stage_$stage"; then
    passed=$((passed + 1))
    echo "=== stage $stage: passed ==="
  else
    failed=$((failed + 1))
    failed_names="$failed_names $stage"
    echo "=== stage $stage: FAILED ==="
  fi
done
[ -n "$failed_names" ] && echo "failed stages:$failed_names"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
