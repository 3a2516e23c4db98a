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
