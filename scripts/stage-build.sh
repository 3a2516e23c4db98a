#!/bin/sh
# The hardened build and every test but the virtual machines: unit,
# simulated-board and real-peer tests.
# Usage: scripts/stage-build.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build

cmake --preset default
cmake --build --preset default
ctest --preset default -LE vm
