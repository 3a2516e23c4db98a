// SPDX-License-Identifier: MIT
#include "support/fake_cryptsetup.h"

#include <gtest/gtest.h>

#include "support/run_program.h"

std::vector<std::string> cryptsetup_calls(const board &b)
{
  std::vector<std::string> lines;
  std::string text = b.read("/fake/calls");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string cryptsetup_input(const board &b, int n) { return b.read("/fake/stdin." + std::to_string(n)); }

void cryptsetup_behaves(const board &b, const std::string &command, const std::string &behaviour)
{
  b.write("/fake/behaviour." + command, behaviour);
}

void cryptsetup_forget(const board &b)
{
  for (const char *name : {"/fake/calls", "/fake/count", "/fake/stdin.1", "/fake/stdin.2", "/fake/stdin.3"})
    b.remove(name);
}

std::string key_given_to_open(const board &b)
{
  cryptsetup_forget(b);
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  return cryptsetup_input(b, 2);
}
