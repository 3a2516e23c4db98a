#!/bin/sh
# The program against a real kernel in a QEMU virtual machine (tests/vm).
# Usage: scripts/stage-vm.sh
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build vm

cmake --preset default
cmake --build --preset default
ctest --preset default -L vm
