#!/bin/sh
# The same tests as the build stage, built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
# Usage: scripts/stage-sanitize.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh sanitize

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize -LE vm
