#!/bin/sh
# SPDX-License-Identifier: MIT
# The build stage's tests under AddressSanitizer + UndefinedBehaviorSanitizer.
# Usage: scripts/stage-sanitize.sh
exec "$(dirname "$0")/stage-build.sh" sanitize
