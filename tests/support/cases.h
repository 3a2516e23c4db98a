#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/sandbox.h"

// The key of most tests: bytes 00..1f, and its base64 text.
inline const std::string KEY_TEXT = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

inline std::string key_00_to_1f()
{
  std::string key;
  for (int i = 0; i < 32; i++)
    key += static_cast<char>(i);
  return key;
}

// A second key: bytes 20..3f, and its base64 text.
inline const std::string OTHER_KEY_TEXT = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=";

inline std::string key_20_to_3f()
{
  std::string key;
  for (int i = 32; i < 64; i++)
    key += static_cast<char>(i);
  return key;
}

// No freed block and no stack or heap at exit held the key, blob or modifier.
inline void expect_no_leak(const board &b) { EXPECT_TRUE(b.log_lines("LEAK").empty()) << b.log(); }

bool under_valgrind();

// A table of cases, each with a `name`, as one parameterised suite whose
// tests are named after the rows.
#define NAMED_CASES(suite, type, table)                                          \
  void PrintTo(const type &c, std::ostream *os) { *os << c.name; }              \
  INSTANTIATE_TEST_SUITE_P(cases, suite, testing::ValuesIn(table),               \
                           [](const testing::TestParamInfo<type> &row) { return std::string(row.param.name); })
