# SPDX-License-Identifier: MIT
# Compile and link settings as interface targets: each target links the sets
# it needs, so third-party code (GoogleTest) and the board simulator never
# inherit settings that they would then have to filter back out.

# Warnings in the project's own code; errors with LOCKWARDEN_WERROR.
add_library(lockwarden_warnings INTERFACE)
target_compile_options(lockwarden_warnings INTERFACE
  -Wall -Wextra -Wformat=2 -Wshadow -Wcast-align)
if(LOCKWARDEN_WERROR)
  target_compile_options(lockwarden_warnings INTERFACE -Werror)
endif()

# Hardening as a distribution would build a root tool, with
# LOCKWARDEN_HARDENING. The code is written without exceptions and RTTI in
# every build. Position-independent executables come from
# CMAKE_POSITION_INDEPENDENT_CODE (top level).
add_library(lockwarden_hardening INTERFACE)
target_compile_options(lockwarden_hardening INTERFACE -fno-exceptions -fno-rtti)
if(LOCKWARDEN_HARDENING)
  target_compile_options(lockwarden_hardening INTERFACE
    -fstack-protector-strong -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    target_compile_options(lockwarden_hardening INTERFACE -fcf-protection)
  endif()
  target_link_options(lockwarden_hardening INTERFACE
    LINKER:-z,relro,-z,now LINKER:--as-needed LINKER:-z,noexecstack)
  if(NOT LOCKWARDEN_SANITIZE)
    # FORTIFY needs optimisation; the sanitizers bring their own checks.
    target_compile_options(lockwarden_hardening INTERFACE
      $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
endif()

# AddressSanitizer and UndefinedBehaviorSanitizer, when asked for. Empty
# otherwise, so that targets link it unconditionally.
add_library(lockwarden_sanitizers INTERFACE)
if(LOCKWARDEN_SANITIZE)
  target_compile_options(lockwarden_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(lockwarden_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
