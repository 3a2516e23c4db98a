#!/bin/sh
# SPDX-License-Identifier: MIT
# The suite under valgrind memcheck: every test executable labelled in-process
# runs under it whole, and every run of lockwarden-tool started by a test
# labelled program runs under it (an error or a leak exits 99, which the test
# sees as a wrong exit status). Left out: the power cuts and the open of the
# default build's volume, whose time goes to the real cryptsetup (a hundred
# runs; argon2id) and whose paths of the program other cases run too.
# Usage: scripts/stage-valgrind.sh
set -eu
cd "$(dirname "$0")/.."
build=build/default
scripts/deps.sh build valgrind
cmake --preset default >/dev/null
cmake --build --preset default

# Debian's /usr/bin/valgrind is a shell wrapper; the launcher itself passes
# LD_PRELOAD (the board simulator) on to the program.
valgrind=/usr/bin/valgrind.bin
[ -x "$valgrind" ] || valgrind=$(command -v valgrind)
checks="-q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect"

status=0
for test in $(ctest --test-dir "$build" -N -V -L in-process --no-tests=error | sed -n 's/^[0-9]*: Test command: \([^ ]*\) .*/\1/p' | sort -u); do
  echo "--- $test under memcheck"
  $valgrind $checks "$test" --gtest_brief=1 || status=1
done
echo "--- lockwarden-tool under memcheck in the tests that start it"
LOCKWARDEN_TOOL_RUNNER="$valgrind $checks" ctest --test-dir "$build" -j2 --output-on-failure -L program -LE vm -E "power_cut|volumes_of_either_build_open" --no-tests=error || status=1
exit $status
