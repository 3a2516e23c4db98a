#!/bin/sh
# Cross-builds the program, the board simulator and the tests for 32-bit ARM
# (armhf) and runs the unit and simulated-board tests under qemu-arm.
# Usage: scripts/stage-armhf.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build armhf

start=$(date +%s)
cmake --preset armhf
cmake --build --preset armhf
ctest --preset armhf
echo "stage-armhf: $(($(date +%s) - start)) s"
