#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time, starting from the seed corpora in fuzz/corpus/. Any crash,
# sanitizer report, leak or timeout fails the stage; the reproducer is left in
# build/fuzz/artifacts/.
# Usage: scripts/stage-fuzz.sh [SECONDS]   (per target, default 60)
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
scripts/deps.sh fuzz

build=build/fuzz
targets="base64 md5 location_parsers"

CXX=clang++ cmake -S . -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOCKWARDEN_FUZZ=ON -DLOCKWARDEN_SANITIZE=ON -DLOCKWARDEN_WERROR=ON \
  -DLOCKWARDEN_BUILD_TESTS=OFF -DLOCKWARDEN_BUILD_BENCHMARKS=OFF
cmake --build "$build" --target fuzzers -j2

mkdir -p "$build/artifacts"
# All targets at once: on two cores that halves the stage's wall time.
for t in $targets; do
  # New inputs go to a scratch corpus; the checked-in seeds stay as they are.
  mkdir -p "$build/corpus/$t"
  echo "--- $t: ${seconds} s"
  ( if "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
         -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$build/$t.log" 2>&1; then
      echo ok > "$build/$t.status"
    else
      echo FAILED > "$build/$t.status"
    fi ) &
done
wait

failed=""
summary=""
for t in $targets; do
  log="$build/$t.log"
  status=$(cat "$build/$t.status")
  if [ "$status" != ok ]; then
    failed="$failed $t"
    # The sanitizer's report and the reproducer's name.
    grep -E 'ERROR|SUMMARY|Test unit written|_fuzzer: ' "$log" | head -20 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  corpus=$(ls "$build/corpus/$t" | wc -l)
  summary="$summary$(printf '%-18s %-6s %12s executions, %5s inputs in corpus' "$t" "$status" "${runs:-?}" "$corpus")
"
done
printf '%s' "$summary"
[ -z "$failed" ] || { echo "fuzz targets failed:$failed (logs in $build/*.log)"; exit 1; }
