// SPDX-License-Identifier: MIT
// The streaming decoder fed in random pieces must give the same bytes as the
// one-shot decode of the whole text, and both must agree with a plain
// bit-accumulating decoder written from the rules the key text relies on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util/base64.h"

namespace {

// Six bits per text byte: the alphabet's values, 62 for '=', 63 for any other
// byte. These are the values every stored key was made with.
unsigned reference_value(uint8_t c)
{
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+' || c == '=')
    return 62;
  return 63;
}

// Complete bytes only; the bits of an unfinished byte are returned in `partial`
// already shifted to their final position.
size_t reference_decode(const std::string &text, uint8_t *out, uint8_t *partial)
{
  uint32_t bits = 0;
  int nbits = 0;
  size_t n = 0;
  for (unsigned char c : text) {
    bits = (bits << 6) | reference_value(c);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out[n++] = static_cast<uint8_t>(bits >> nbits);
      bits &= (1u << nbits) - 1;
    }
  }
  *partial = static_cast<uint8_t>(nbits == 0 ? 0 : bits << (8 - nbits));
  return n;
}

void fail(const char *what)
{
  fprintf(stderr, "base64_fuzzer: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  FuzzedDataProvider provider(data, size);
  // The splits come from the front of the input, the text is the rest; the
  // one-shot call measures the text up to a NUL, so cut it there.
  const uint32_t split_seed = provider.ConsumeIntegral<uint32_t>();
  std::string text = provider.ConsumeRemainingBytesAsString();
  text.resize(strlen(text.c_str()));
  const size_t n = text.size();
  const size_t whole = 3 * n / 4;

  // Exactly the room the interface asks for, so that ASan sees any byte
  // written or read beyond it.
  std::unique_ptr<uint8_t[]> one_shot(new uint8_t[whole + 1]);
  std::unique_ptr<uint8_t[]> streamed(new uint8_t[whole + 1]);
  std::unique_ptr<uint8_t[]> expected(new uint8_t[whole + 1]);
  memset(one_shot.get(), 0xA5, whole + 1);
  memset(streamed.get(), 0x5A, whole + 1);

  base64_decode_string(text.c_str(), one_shot.get());

  base64_decode_state state;
  base64_decode_init(&state);
  size_t written = 0;
  size_t consumed = 0;
  uint32_t rng = split_seed | 1u;
  do {
    // xorshift32: cheap, deterministic per input; pieces of 0 bytes included.
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    const size_t left = n - consumed;
    const size_t piece = left == 0 ? 0 : rng % (left + 1);
    const int r = base64_decode_chunk(text.data() + consumed, piece, streamed.get() + written, &state);
    if (r < 0)
      fail("negative count");
    written += static_cast<size_t>(r);
    consumed += piece;
    if (written > whole)
      fail("streamed more bytes than the text holds");
  } while (consumed < n);

  uint8_t partial = 0;
  const size_t reference_count = reference_decode(text, expected.get(), &partial);
  if (reference_count != whole)
    fail("reference count");
  if (written != whole)
    fail("streamed byte count differs from 3n/4");
  if (state.step != static_cast<int32_t>(n % 4))
    fail("state step differs from n mod 4");
  if (memcmp(one_shot.get(), streamed.get(), whole) != 0)
    fail("streamed bytes differ from the one-shot decode");
  if (memcmp(one_shot.get(), expected.get(), whole) != 0)
    fail("decoded bytes differ from the reference decoder");
  // The decoder sized to its output: exactly the bytes the text's leading
  // characters give, nothing written past them.
  if (whole > 0) {
    std::unique_ptr<uint8_t[]> sized(new uint8_t[whole]);
    base64_decode_exact(text.c_str(), sized.get(), whole);
    if (memcmp(sized.get(), expected.get(), whole) != 0)
      fail("the sized decode differs from the reference decoder");
  }
  // Inside a group the unfinished byte is written and kept in the state.
  if (n % 4 != 0) {
    if (one_shot[whole] != partial || streamed[whole] != partial || state.partial_byte != partial)
      fail("unfinished byte");
  }
  return 0;
}
