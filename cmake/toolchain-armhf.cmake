# Cross build for 32-bit ARM (armhf, the i.MX 6/7 boards) with Debian's
# g++-arm-linux-gnueabihf. Tests run on the build machine under qemu-user:
# CTest and gtest_discover_tests put CMAKE_CROSSCOMPILING_EMULATOR in front
# of every test executable.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(LOCKWARDEN_ARMHF_TRIPLE arm-linux-gnueabihf)
set(LOCKWARDEN_ARMHF_SYSROOT /usr/${LOCKWARDEN_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${LOCKWARDEN_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LOCKWARDEN_ARMHF_TRIPLE}-g++)

# Debian's multiarch cross packages install headers and libraries below
# /usr/arm-linux-gnueabihf; never pick up the build machine's x86 libraries.
set(CMAKE_FIND_ROOT_PATH ${LOCKWARDEN_ARMHF_SYSROOT})
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
find_program(LOCKWARDEN_QEMU_ARM qemu-arm)
if(LOCKWARDEN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${LOCKWARDEN_QEMU_ARM};-L;${LOCKWARDEN_ARMHF_SYSROOT}"
      CACHE STRING "Runs armhf test executables on the build machine" FORCE)
endif()
