// SPDX-License-Identifier: MIT
#pragma once

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "keyring/keyring_location.h"
#include "support/board_builders.h"

// For tests that call the program's functions directly, with the board
// simulator linked into the test: each test gets a fresh board and an empty
// keyring location of its own.
class on_board : public testing::Test {
 protected:
  board b;
  keyring_location location;

  void SetUp() override { setenv("BOARD_SIM_ROOT", b.root.c_str(), 1); }
  void TearDown() override
  {
    free_keydev(&location);
    unsetenv("BOARD_SIM_ROOT");
  }
  void set_location(const char *keydev, uint64_t offset, int is_mtd)
  {
    free_keydev(&location);
    location.keydev = strdup(keydev);
    location.offset = offset;
    location.keydev_is_mtd = is_mtd;
  }
};
