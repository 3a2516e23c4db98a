// SPDX-License-Identifier: MIT
// The digest must be standard MD5 bit for bit: stored key blobs were made
// with key modifiers computed by it. OpenSSL's MD5() is the reference; the
// same input fed through md5_update in random pieces (empty ones included)
// must give the same digest, and md5_final must leave the context zeroed.
#include <openssl/md5.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/md5.h"

namespace {

void fail(const char *what)
{
  fprintf(stderr, "md5_fuzzer: %s\n", what);
  abort();
}

bool all_zero(const void *p, size_t n)
{
  const auto *bytes = static_cast<const uint8_t *>(p);
  for (size_t i = 0; i < n; i++)
    if (bytes[i] != 0)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  uint8_t reference[MD5_DIGEST_LENGTH];
  MD5(data, size, reference);

  uint8_t one_shot[MD5_DIGEST_LEN];
  md5_digest(data, static_cast<uint32_t>(size), one_shot);
  if (memcmp(one_shot, reference, MD5_DIGEST_LEN) != 0)
    fail("md5_digest differs from OpenSSL");

  // The split points come from the data itself, so that the fuzzer steers
  // them together with the content.
  md5_ctx ctx;
  md5_init(&ctx);
  uint32_t rng = 0x9E3779B9u;
  for (size_t i = 0; i < size && i < 8; i++)
    rng = rng * 31 + data[i];
  size_t fed = 0;
  while (fed < size) {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    // Mostly short pieces around block boundaries, sometimes long ones.
    const size_t left = size - fed;
    size_t piece = (rng & 0x100) != 0 ? rng % 130 : rng % (left + 1);
    if (piece > left)
      piece = left;
    md5_update(&ctx, data + fed, static_cast<uint32_t>(piece));
    fed += piece;
  }
  md5_update(&ctx, data + size, 0);
  uint8_t streamed[MD5_DIGEST_LEN];
  md5_final(streamed, &ctx);
  if (memcmp(streamed, reference, MD5_DIGEST_LEN) != 0)
    fail("split updates differ from OpenSSL");
  if (!all_zero(&ctx, sizeof(ctx)))
    fail("md5_final left bytes in the context");
  return 0;
}
