// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "support/board.h"

// What the recording fake cryptsetup (tests/fake/cryptsetup) saw on a board:
// one line of arguments per call, and the bytes call number n (1-based) read
// on its standard input; and how it is to behave for one command.
std::vector<std::string> cryptsetup_calls(const board &b);
std::string cryptsetup_input(const board &b, int n);
void cryptsetup_behaves(const board &b, const std::string &command, const std::string &behaviour);

// Forgets what the fake saw: the next call is number 1 again.
void cryptsetup_forget(const board &b);

// Opens /dev/mmcblk0p3 as cryptroot on the board, which must succeed without
// a line, and returns the key the open's cryptsetup was given.
std::string key_given_to_open(const board &b);
