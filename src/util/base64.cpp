// SPDX-License-Identifier: MIT
#include "util/base64.h"

#include <cstring>

namespace {

constexpr uint8_t EQUALS_ENTRY = 0xFE;
constexpr uint8_t FOREIGN_ENTRY = 0xFF;

// Indexed by (byte - '+'), covering '+' (43) to 'z' (122).
constexpr uint8_t DECODE_TABLE[] = {
    62,   0xFF, 0xFF, 0xFF, 63,                                  // + , - . /
    52,   53,   54,   55,   56,   57,   58,   59,   60,   61,    // 0-9
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF,                    // : ; < = > ? @
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10, 11, 12,
    13,   14,   15,   16,   17,   18,   19,   20,   21,   22,   23, 24, 25,  // A-Z
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,                          // [ \ ] ^ _ `
    26,   27,   28,   29,   30,   31,   32,   33,   34,   35,   36, 37, 38,
    39,   40,   41,   42,   43,   44,   45,   46,   47,   48,   49, 50, 51,  // a-z
};
constexpr size_t DECODE_TABLE_SIZE = sizeof(DECODE_TABLE);
static_assert(DECODE_TABLE_SIZE == 80, "the table covers '+' to 'z'");
static_assert(DECODE_TABLE['=' - '+'] == EQUALS_ENTRY, "'=' has its own entry");
static_assert(DECODE_TABLE['@' - '+'] == FOREIGN_ENTRY, "punctuation is foreign");

}  // namespace

int base64_char_value(uint8_t c)
{
  uint8_t index = static_cast<uint8_t>(c - 43);
  if (index >= DECODE_TABLE_SIZE)
    return -1;
  return DECODE_TABLE[index];
}

void base64_decode_init(base64_decode_state *state)
{
  state->step = 0;
  state->partial_byte = 0;
}

int base64_decode_chunk(const char *text, size_t n, uint8_t *out, base64_decode_state *state)
{
  const uint8_t *next = reinterpret_cast<const uint8_t *>(text);
  const uint8_t *end = next + n;
  uint8_t *p = out;
  *p = state->partial_byte;

  // Only the low six bits of a value count: "=" (0xFE) gives 62, a foreign
  // byte (0xFF, or -1 below the table) gives 63.
  // cppcheck-suppress variableScope ; the case labels jump into the loop, past any inner declaration
  uint8_t v;
  switch (state->step) {
    while (true) {
    case 0:
      if (next == end) {
        state->step = 0;
        state->partial_byte = *p;
        return static_cast<int>(p - out);
      }
      v = static_cast<uint8_t>(base64_char_value(*next++));
      *p = static_cast<uint8_t>((v & 0x3F) << 2);
      [[fallthrough]];
    case 1:
      if (next == end) {
        state->step = 1;
        state->partial_byte = *p;
        return static_cast<int>(p - out);
      }
      v = static_cast<uint8_t>(base64_char_value(*next++));
      *p++ |= static_cast<uint8_t>((v & 0x30) >> 4);
      *p = static_cast<uint8_t>((v & 0x0F) << 4);
      [[fallthrough]];
    case 2:
      if (next == end) {
        state->step = 2;
        state->partial_byte = *p;
        return static_cast<int>(p - out);
      }
      v = static_cast<uint8_t>(base64_char_value(*next++));
      *p++ |= static_cast<uint8_t>((v & 0x3C) >> 2);
      *p = static_cast<uint8_t>((v & 0x03) << 6);
      [[fallthrough]];
    case 3:
      if (next == end) {
        state->step = 3;
        state->partial_byte = *p;
        return static_cast<int>(p - out);
      }
      v = static_cast<uint8_t>(base64_char_value(*next++));
      *p++ |= static_cast<uint8_t>(v & 0x3F);
    }
  }
  return 0;
}

void base64_decode_string(const char *text, uint8_t *out)
{
  base64_decode_state state;
  base64_decode_init(&state);
  base64_decode_chunk(text, strlen(text), out, &state);
}

void base64_decode_exact(const char *text, uint8_t *out, size_t n)
{
  unsigned bits = 0;  // the bits read but not yet written, fewer than 8
  unsigned pending = 0;
  for (size_t written = 0; written < n; text++) {
    const unsigned value = static_cast<uint8_t>(base64_char_value(static_cast<uint8_t>(*text))) & 0x3Fu;
    bits = bits << 6 | value;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      out[written++] = static_cast<uint8_t>(bits >> pending);
      bits &= (1u << pending) - 1;
    }
  }
}

namespace {

// The alphabet character of a 6-bit value, computed rather than looked up,
// so that the memory access pattern says nothing about the value. Each mask
// is all ones from a threshold on: A-Z, then a-z (+6), 0-9 (-75), '+' (-15),
// '/' (+3).
char base64_char(unsigned v)
{
  unsigned c = v + 'A';
  c += (0u - ((25u - v) >> 31)) & 6u;
  c -= (0u - ((51u - v) >> 31)) & 75u;
  c -= (0u - ((61u - v) >> 31)) & 15u;
  c += (0u - ((62u - v) >> 31)) & 3u;
  return static_cast<char>(c);
}

}  // namespace

size_t base64_encode(const uint8_t *data, size_t n, char *out)
{
  char *p = out;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned group = static_cast<unsigned>(data[i]) << 16 | static_cast<unsigned>(data[i + 1]) << 8 | data[i + 2];
    *p++ = base64_char(group >> 18);
    *p++ = base64_char(group >> 12 & 0x3F);
    *p++ = base64_char(group >> 6 & 0x3F);
    *p++ = base64_char(group & 0x3F);
  }
  if (i < n) {
    const bool two = i + 2 == n;
    const unsigned group = static_cast<unsigned>(data[i]) << 16 | (two ? static_cast<unsigned>(data[i + 1]) << 8 : 0u);
    *p++ = base64_char(group >> 18);
    *p++ = base64_char(group >> 12 & 0x3F);
    *p++ = two ? base64_char(group >> 6 & 0x3F) : '=';
    *p++ = '=';
  }
  *p = '\0';
  return static_cast<size_t>(p - out);
}
