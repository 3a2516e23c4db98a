#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs clang-tidy (.clang-tidy) and cppcheck over src/ with the compile
# database of a clang configuration, and checks the code's shape (file and
# function sizes, include layers: scripts/check-structure.sh). Any finding
# fails the stage. A finding that is wrong for one line is silenced there,
# with its reason:
#   // NOLINTNEXTLINE(check-name): why        (clang-tidy)
#   // cppcheck-suppress id ; why               (cppcheck, on the line above)
# Usage: scripts/stage-analyse.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh analyse build
scripts/check-structure.sh && structure_failed=0 || structure_failed=1

build=build/pkg-analyse
# Only the compile database is needed: configure, no build. clang++ so that
# clang-tidy sees the flags it was given. With escrow: its OpenSSL code is
# what there is to analyse (the stub says one line).
CXX=clang++ cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DLOCKWARDEN_WERROR=ON \
  -DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF -DLOCKWARDEN_ESCROW=ON >/dev/null

src="$(pwd)/src/"
files=$(sed -n 's/^ *"file": "\(.*\)",*$/\1/p' "$build/compile_commands.json" | grep -F "$src" | sort -u)

tidy_log="$build/clang-tidy.log"
: >"$tidy_log"
tidy_failed=0
for f in $files; do
  # Nonzero also when clang-tidy cannot parse a file: that fails the stage too.
  clang-tidy -p "$build" --quiet "$f" >>"$tidy_log" 2>&1 || tidy_failed=$((tidy_failed + 1))
done
# A header included by several sources is reported once per source.
tidy_findings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$tidy_log" | sort -u || true)

cppcheck_log="$build/cppcheck.log"
cppcheck --project="$build/compile_commands.json" --file-filter='src/*' \
  --enable=warning,style,performance,portability --std=c++17 --library=posix \
  --inline-suppr --suppress=missingIncludeSystem --quiet -j2 \
  --error-exitcode=1 --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  >"$cppcheck_log" 2>&1 && cppcheck_failed=0 || cppcheck_failed=1
cppcheck_findings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: ' "$cppcheck_log" | sort -u || true)

count() { [ -z "$1" ] && echo 0 || printf '%s\n' "$1" | wc -l; }
n_tidy=$(count "$tidy_findings")
n_cppcheck=$(count "$cppcheck_findings")
[ -n "$tidy_findings" ] && printf '%s\n' "$tidy_findings"
[ -n "$cppcheck_findings" ] && printf '%s\n' "$cppcheck_findings"
echo "clang-tidy: $n_tidy findings in $(echo $files | wc -w) files; cppcheck: $n_cppcheck findings"
if [ "$tidy_failed" -ne 0 ] || [ "$cppcheck_failed" -ne 0 ] || [ "$structure_failed" -ne 0 ]; then
  echo "analysers reported problems: see $tidy_log and $cppcheck_log, and the structure check above"
  exit 1
fi
[ "$n_tidy" -eq 0 ] && [ "$n_cppcheck" -eq 0 ]
