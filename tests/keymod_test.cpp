// SPDX-License-Identifier: MIT
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "keyblob/keymod.h"
#include "support/capture.h"
#include "support/in_process.h"

namespace {

std::string modifier_for(int *result)
{
  uint8_t modifier[16];
  memset(modifier, 0xEE, sizeof(modifier));
  *result = compute_keymod(modifier, sizeof(modifier));
  return hex(modifier, sizeof(modifier));
}

struct fuse_case {
  const char *name;
  const char *mac0;
  const char *mac1;
  const char *modifier;  // hex MD5 of the 8 little-endian bytes
};

const fuse_case FUSE_CASES[] = {
    // MD5 of 01 00 00 00 02 00 00 00.
    {"words_one_and_two", "1\n", "2\n", "4f04e2bb1318b81190e10694e3e82c30"},
    {"prefix_and_no_newline", "0x1", "0x00000002", "4f04e2bb1318b81190e10694e3e82c30"},
    {"blanks_before_the_number", "  0x1\n", "\t2 trailing words\n", "4f04e2bb1318b81190e10694e3e82c30"},
    // MD5 of eight zero bytes.
    {"both_zero", "0x0\n", "0\n", "7dea362b3fac8e00956a4952a3d4f474"},
};

class fuse_words : public on_board, public testing::WithParamInterface<fuse_case> {};

TEST_P(fuse_words, derive_the_modifier_from_their_values_only)
{
  const fuse_case &c = GetParam();
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", c.mac0);
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", c.mac1);
  int result = -9;
  EXPECT_EQ(modifier_for(&result), c.modifier);
  EXPECT_EQ(result, 0);
}

NAMED_CASES(fuse_words, fuse_case, FUSE_CASES);

TEST_F(on_board, letter_case_of_the_hex_digits_does_not_matter)
{
  int result = 0;
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "0XDEADBEEF\n");
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "0xCAFE\n");
  std::string upper = modifier_for(&result);
  b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "deadbeef");
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "0xcafe");
  EXPECT_EQ(modifier_for(&result), upper);
  // Byte order is little-endian per word: ef be ad de fe ca 00 00.
  EXPECT_EQ(upper, "275a6d514699ca915b616295d2b5188d");
}

TEST_F(on_board, missing_mac0_stops_before_mac1)
{
  b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "2\n");
  int result = 0;
  std::string out = captured_output(1, [&] { modifier_for(&result); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, "[ERROR] compute_keymod: open /sys/fsl_otp/HW_OCOTP_MAC0\n");
  EXPECT_TRUE(b.log_lines("fopen /sys/fsl_otp/HW_OCOTP_MAC1").empty()) << b.log();
}

TEST_F(on_board, unreadable_word_gives_the_read_line_and_leaves_the_buffer)
{
  const char *contents[] = {"", "zz\n", "\n"};
  for (const char *content : contents) {
    b.write("/sys/fsl_otp/HW_OCOTP_MAC0", "1\n");
    b.write("/sys/fsl_otp/HW_OCOTP_MAC1", content);
    int result = 0;
    std::string modifier;
    std::string out = captured_output(1, [&] { modifier = modifier_for(&result); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out.rfind("[ERROR] compute_keymod Read: ", 0), 0u) << out;
    EXPECT_EQ(modifier, std::string(32, 'e'));
  }
}

}  // namespace
