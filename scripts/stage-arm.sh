#!/bin/sh
# Cross-builds the program, the board simulator and the tests for the boards'
# two ARM targets, 32-bit (armhf, i.MX 6/7) and 64-bit (arm64, i.MX 8), and
# runs the unit and simulated-board tests of each under qemu-user.
# Usage: scripts/stage-arm.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build arm

for preset in armhf arm64; do
  echo "--- $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
