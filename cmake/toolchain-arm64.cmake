# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM (arm64, the i.MX 8 boards) with Debian's
# g++-aarch64-linux-gnu; tests under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LOCKWARDEN_CROSS_TRIPLE aarch64-linux-gnu)
set(LOCKWARDEN_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
