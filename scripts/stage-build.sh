#!/bin/sh
# SPDX-License-Identifier: MIT
# The hardened build and every test but the virtual machines: unit,
# simulated-board and real-peer tests. With "sanitize", the same tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/stage-build.sh [default|sanitize]
set -eu
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/deps.sh build

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" -LE vm --no-tests=error
