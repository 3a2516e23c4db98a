# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM (armhf, the i.MX 6/7 boards) with Debian's
# g++-arm-linux-gnueabihf; tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LOCKWARDEN_CROSS_TRIPLE arm-linux-gnueabihf)
set(LOCKWARDEN_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
