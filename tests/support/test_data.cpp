// SPDX-License-Identifier: MIT
#include "support/test_data.h"

#include <cstdio>

#include <gtest/gtest.h>

std::string key_00_to_1f()
{
  std::string key;
  for (int i = 0; i < 32; i++)
    key += static_cast<char>(i);
  return key;
}

std::string key_20_to_3f()
{
  std::string key;
  for (int i = 32; i < 64; i++)
    key += static_cast<char>(i);
  return key;
}

std::string hex(const void *bytes, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  std::string text;
  for (size_t i = 0; i < n; i++) {
    text += digits[in[i] >> 4];
    text += digits[in[i] & 15];
  }
  return text;
}

std::string read_whole_file(const std::string &path)
{
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return text;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
    text.append(buffer, n);
  fclose(f);
  return text;
}

std::string read_fixture(const std::string &relative_path)
{
  std::string text = read_whole_file(std::string(FIXTURES_DIR) + "/" + relative_path);
  EXPECT_FALSE(text.empty()) << relative_path;
  return text;
}
