# SPDX-License-Identifier: MIT
# The common part of the Debian cross toolchain files: the including file sets
# CMAKE_SYSTEM_PROCESSOR, LOCKWARDEN_CROSS_TRIPLE (the GNU triplet of Debian's
# g++-TRIPLE package) and LOCKWARDEN_CROSS_QEMU (the qemu-user program).
# Tests run on the build machine under qemu-user: CTest and
# gtest_discover_tests put CMAKE_CROSSCOMPILING_EMULATOR in front of every
# test executable.
set(CMAKE_SYSTEM_NAME Linux)
set(LOCKWARDEN_CROSS_SYSROOT /usr/${LOCKWARDEN_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${LOCKWARDEN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LOCKWARDEN_CROSS_TRIPLE}-g++)

# Debian's cross C library lives below /usr/TRIPLE; other libraries of the
# target (libssl-dev:armhf) in /usr/lib/TRIPLE and /usr/include, which the
# root / finds through the target's multiarch folder. pkg-config is asked for
# the target's .pc files: the build machine's would point the search at its
# own libraries.
set(CMAKE_FIND_ROOT_PATH ${LOCKWARDEN_CROSS_SYSROOT} /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${LOCKWARDEN_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# An absolute path: the end-to-end tests start the program through this runner
# with posix_spawn, which does not search PATH. The same runner is also what a
# spawned ARM program needs, since the kernel cannot start it by itself without
# binfmt_misc. -L makes qemu load the target's dynamic loader and libc from the
# cross sysroot (the QEMU_LD_PREFIX setting, given on the command line so that
# it does not leak into the environment of children). Without qemu-user the
# program still builds; only the tests need it.
find_program(LOCKWARDEN_QEMU_USER ${LOCKWARDEN_CROSS_QEMU})
if(LOCKWARDEN_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${LOCKWARDEN_QEMU_USER};-L;${LOCKWARDEN_CROSS_SYSROOT}"
      CACHE STRING "Runs the target's test executables on the build machine" FORCE)
endif()
