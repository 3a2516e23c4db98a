# Cross build for 64-bit ARM (arm64, the i.MX 8 boards) with Debian's
# g++-aarch64-linux-gnu. Tests run on the build machine under qemu-user:
# CTest and gtest_discover_tests put CMAKE_CROSSCOMPILING_EMULATOR in front
# of every test executable.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(LOCKWARDEN_ARM64_TRIPLE aarch64-linux-gnu)
set(LOCKWARDEN_ARM64_SYSROOT /usr/${LOCKWARDEN_ARM64_TRIPLE})

set(CMAKE_C_COMPILER ${LOCKWARDEN_ARM64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LOCKWARDEN_ARM64_TRIPLE}-g++)

# Debian's multiarch cross packages install headers and libraries below
# /usr/aarch64-linux-gnu; never pick up the build machine's x86 libraries.
set(CMAKE_FIND_ROOT_PATH ${LOCKWARDEN_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# An absolute path: the end-to-end tests start the program through this runner
# with posix_spawn, which does not search PATH. The same runner is also what a
# spawned ARM program needs, since the kernel cannot start it by itself without
# binfmt_misc. -L makes qemu load the ARM dynamic loader and libc from the
# cross sysroot (the QEMU_LD_PREFIX setting, given on the command line so that
# it does not leak into the environment of children).
# Without qemu-user the program still builds; only the tests need it.
find_program(LOCKWARDEN_QEMU_ARM64 qemu-aarch64)
if(LOCKWARDEN_QEMU_ARM64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${LOCKWARDEN_QEMU_ARM64};-L;${LOCKWARDEN_ARM64_SYSROOT}"
      CACHE STRING "Runs arm64 test executables on the build machine" FORCE)
endif()
