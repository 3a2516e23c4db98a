// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/board.h"
#include "support/test_data.h"

// No freed block and no stack or heap at exit held the key, blob or modifier.
inline void expect_no_leak(const board &b) { EXPECT_TRUE(b.log_lines("LEAK").empty()) << b.log(); }

// A table of cases, each with a `name`, as one parameterised suite whose
// tests are named after the rows.
#define NAMED_CASES(suite, type, table)                                          \
  void PrintTo(const type &c, std::ostream *os) { *os << c.name; }              \
  INSTANTIATE_TEST_SUITE_P(cases, suite, testing::ValuesIn(table),               \
                           [](const testing::TestParamInfo<type> &row) { return std::string(row.param.name); })
