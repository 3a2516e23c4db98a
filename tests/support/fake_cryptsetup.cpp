// SPDX-License-Identifier: MIT
#include "support/fake_cryptsetup.h"

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
