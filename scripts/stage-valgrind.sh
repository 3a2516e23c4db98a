#!/bin/sh
# The suite under valgrind memcheck: the test programs that call the code
# in-process run under it whole, and every run of lockwarden-tool started by
# the end-to-end tests runs under it (any error or leak exits 99, which the
# tests see as a wrong exit status).
set -eu
cd "$(dirname "$0")/.."
build=build/default
cmake --preset default >/dev/null
cmake --build --preset default

# Debian's /usr/bin/valgrind is a shell wrapper; the launcher itself passes
# LD_PRELOAD (the board simulator) on to the program.
valgrind=/usr/bin/valgrind.bin
[ -x "$valgrind" ] || valgrind=$(command -v valgrind)
checks="-q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect"

status=0
for test in util_test keyring_test; do
  echo "--- $test under memcheck"
  $valgrind $checks "$build/tests/$test" --gtest_brief=1 || status=1
done
echo "--- lockwarden-tool under memcheck in the end-to-end tests"
LOCKWARDEN_TOOL_RUNNER="$valgrind $checks" ctest --test-dir "$build" -j2 --output-on-failure \
  -R '^(usage_text|cases/usage_text|command_line|key_generation|cases/key_text|cases/generation_failure|key_recovery|cases/recovery_fails|volume|cases/format_and_open|cases/child_fails|cases/refused_arguments|cases/keyring_format|cases/format_key|cases/store_check|real_cryptsetup|faults|cases/faults)' || status=1
exit $status
