# SPDX-License-Identifier: MIT
# GoogleTest for the test suite. Debian's libgtest-dev ships the libraries for
# the build machine only, together with their sources in /usr/src/googletest;
# a cross build compiles those sources with the cross compiler instead.
#
# Included from tests/CMakeLists.txt in place of find_package(GTest): both
# ways end with the targets GTest::gtest and GTest::gtest_main.

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
  return()
endif()

if(TARGET GTest::gtest)
  return()
endif()

set(LOCKWARDEN_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${LOCKWARDEN_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${LOCKWARDEN_GTEST_SOURCE_DIR} "
                      "(Debian: apt-get install libgtest-dev)")
endif()

# Third-party code with its own warning and exception flags: it links none of
# the project's settings targets.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${LOCKWARDEN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# GoogleTest 1.12 defines the namespaced aliases itself; older sources do not.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
