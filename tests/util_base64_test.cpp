// SPDX-License-Identifier: MIT
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "util/base64.h"

namespace {

struct decode_case {
  const char *name;
  const char *text;
  int decoded;          // the result
  const char *bytes;    // hex of out[0 .. decoded-1] plus the unfinished byte when step != 0
  int step;
  uint8_t partial_byte;
};

const decode_case DECODE_CASES[] = {
    {"empty", "", 0, "00", 0, 0x00},
    {"two_characters", "QQ", 1, "4100", 2, 0x00},
    {"padding_is_62", "QQ==", 3, "410fbe", 0, 0},
    {"byte_below_table_is_63", "QQ**", 3, "410fff", 0, 0},
    {"punctuation_in_table_is_63", "QQ,,", 3, "410fff", 0, 0},
    {"whitespace_is_63", "QQ\n\t", 3, "410fff", 0, 0},
    {"high_bytes_are_63", "QQ\xc3\xa9", 3, "410fff", 0, 0},
    {"plain_group", "TWFu", 3, "4d616e", 0, 0},
    {"three_characters", "TWF", 2, "4d6140", 3, 0x40},
    {"rfc4648_foobar", "Zm9vYmFy", 6, "666f6f626172", 0, 0},
};

class base64_decode : public testing::TestWithParam<decode_case> {};

TEST_P(base64_decode, matches_the_decoding_rules)
{
  const decode_case &c = GetParam();
  uint8_t out[64];
  memset(out, 0xAA, sizeof(out));
  base64_decode_state state;
  base64_decode_init(&state);
  int decoded = base64_decode_chunk(c.text, strlen(c.text), out, &state);
  EXPECT_EQ(decoded, c.decoded);
  size_t shown = strlen(c.bytes) / 2;
  EXPECT_EQ(hex(out, shown), c.bytes);
  EXPECT_EQ(state.step, c.step);
  if (c.step != 0) {
    EXPECT_EQ(state.partial_byte, c.partial_byte);
  }
  // Nothing is written past the unfinished byte.
  EXPECT_EQ(out[decoded + 1], 0xAA);
}

NAMED_CASES(base64_decode, decode_case, DECODE_CASES);

TEST(base64_decode_stream, continues_an_unfinished_byte_in_the_next_call)
{
  uint8_t out[8] = {};
  base64_decode_state state;
  base64_decode_init(&state);
  ASSERT_EQ(base64_decode_chunk("TW", 2, out, &state), 1);
  EXPECT_EQ(state.step, 2);
  EXPECT_EQ(state.partial_byte, 0x60);
  ASSERT_EQ(base64_decode_chunk("Fu", 2, out + 1, &state), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 3), "Man");
}

TEST(base64_decode_stream, any_split_gives_the_one_shot_bytes)
{
  const char *text = "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBvdmVyIHRoZSBsYXp5IGRvZw==";
  const size_t n = strlen(text);
  uint8_t whole[64] = {};
  base64_decode_string(text, whole);
  for (size_t split = 0; split <= n; split++) {
    uint8_t pieces[64] = {};
    base64_decode_state state;
    base64_decode_init(&state);
    int first = base64_decode_chunk(text, split, pieces, &state);
    int second = base64_decode_chunk(text + split, n - split, pieces + first, &state);
    EXPECT_EQ(first + second, static_cast<int>(n / 4 * 3)) << split;
    EXPECT_EQ(memcmp(pieces, whole, sizeof(whole)), 0) << split;
  }
}

TEST(base64_decode_stream, step_out_of_range_decodes_nothing)
{
  uint8_t out[4] = {9, 9, 9, 9};
  base64_decode_state state{7, 0x55};
  EXPECT_EQ(base64_decode_chunk("TWFu", 4, out, &state), 0);
  EXPECT_EQ(out[0], 0x55);
  EXPECT_EQ(out[1], 9);
  EXPECT_EQ(state.step, 7);
}

TEST(base64_key_text, decodes_to_exactly_the_32_key_bytes)
{
  // 32 bytes 00 01 .. 1f in standard base64; the last two bits of '8' (60)
  // lie past the key.
  const char *text = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
  ASSERT_EQ(strlen(text), 44u);
  uint8_t out[40];
  memset(out, 0xAA, sizeof(out));
  base64_decode_exact(text, out, 32);
  for (int i = 0; i < 32; i++)
    EXPECT_EQ(out[i], i);
  EXPECT_EQ(out[32], 0xAA);  // never written
}

TEST(base64_encode, gives_the_rfc4648_texts)
{
  const char *const rows[] = {"",     "",     "f",        "Zg==",  "fo",       "Zm8=",   "foo",
                              "Zm9v", "foob", "Zm9vYg==", "fooba", "Zm9vYmE=", "foobar", "Zm9vYmFy"};
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i += 2) {
    char text[16];
    const size_t n = strlen(rows[i]);
    EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t *>(rows[i]), n, text), base64_encoded_length(n));
    EXPECT_STREQ(text, rows[i + 1]);
  }
}

TEST(base64_key_text, every_key_encodes_to_a_key_text_that_decodes_back)
{
  // Every byte value at every place (and so every character of the alphabet):
  // 43 alphabet characters and '=', which the decoder reads back.
  for (int round = 0; round < 256; round++) {
    uint8_t key[32];
    for (int i = 0; i < 32; i++)
      key[i] = static_cast<uint8_t>(round + i * 67);
    char text[45];
    ASSERT_EQ(base64_encode(key, sizeof(key), text), 44u);
    EXPECT_EQ(strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"), 43u) << text;
    EXPECT_EQ(text[43], '=');
    uint8_t decoded[32] = {};
    base64_decode_exact(text, decoded, sizeof(decoded));
    EXPECT_EQ(memcmp(decoded, key, sizeof(key)), 0) << text;
    // The streaming decoder reads the same bytes from it.
    uint8_t streamed[34] = {};
    base64_decode_string(text, streamed);
    EXPECT_EQ(memcmp(streamed, key, sizeof(key)), 0) << text;
  }
}

TEST(base64_char_value, covers_the_table_and_nothing_else)
{
  struct {
    int c;
    int value;
  } const rows[] = {{'A', 0}, {'Z', 25}, {'a', 26}, {'z', 51}, {'0', 52}, {'9', 61}, {'+', 62},
                    {'/', 63}, {'=', 254}, {',', 255}, {'@', 255}, {'`', 255}, {'*', -1},
                    {'{', -1}, {0, -1}, {0xFF, -1}};
  for (const auto &row : rows)
    EXPECT_EQ(base64_char_value(static_cast<uint8_t>(row.c)), row.value) << row.c;
}

}  // namespace
