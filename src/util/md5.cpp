// SPDX-License-Identifier: MIT
#include "util/md5.h"

#include <cstring>

#include "util/secure_wipe.h"

namespace {

inline uint32_t rotate_left(uint32_t x, unsigned n)
{
  return (x << n) | (x >> (32 - n));
}

inline uint32_t aux_f(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t aux_g(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t aux_h(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t aux_i(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, word, constant, shift)          \
  do {                                                          \
    (a) += f((b), (c), (d)) + (word) + (constant);              \
    (a) = rotate_left((a), (shift)) + (b);                      \
  } while (0)

// Byte by byte, so that unaligned input works; compilers turn it into one load.
inline uint32_t load_le32(const uint8_t *in)
{
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void store_le32(uint8_t *out, uint32_t value)
{
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): the 64 steps of RFC 1321, written out
const uint8_t *md5_transform(md5_ctx *ctx, const uint8_t *data, size_t size)
{
  uint32_t a = ctx->a;
  uint32_t b = ctx->b;
  uint32_t c = ctx->c;
  uint32_t d = ctx->d;
  uint32_t *x = ctx->block;

  do {
    const uint32_t aa = a;
    const uint32_t bb = b;
    const uint32_t cc = c;
    const uint32_t dd = d;
    for (size_t i = 0; i < 16; i++)
      x[i] = load_le32(data + 4 * i);

    MD5_STEP(aux_f, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(aux_f, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(aux_f, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(aux_f, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(aux_f, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(aux_f, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(aux_f, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(aux_f, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(aux_f, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(aux_f, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(aux_f, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(aux_f, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(aux_f, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(aux_f, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(aux_f, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(aux_f, b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP(aux_g, a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP(aux_g, d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP(aux_g, c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP(aux_g, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP(aux_g, a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP(aux_g, d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP(aux_g, c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP(aux_g, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP(aux_g, a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP(aux_g, d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP(aux_g, c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP(aux_g, b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP(aux_g, a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP(aux_g, d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP(aux_g, c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP(aux_g, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    MD5_STEP(aux_h, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(aux_h, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(aux_h, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(aux_h, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(aux_h, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(aux_h, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(aux_h, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(aux_h, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(aux_h, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(aux_h, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(aux_h, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(aux_h, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(aux_h, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(aux_h, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(aux_h, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(aux_h, b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP(aux_i, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(aux_i, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(aux_i, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(aux_i, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(aux_i, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(aux_i, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(aux_i, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(aux_i, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(aux_i, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(aux_i, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(aux_i, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(aux_i, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(aux_i, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(aux_i, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(aux_i, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(aux_i, b, c, d, a, x[9], 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
    data += 64;
    size -= 64;
  } while (size != 0);

  ctx->a = a;
  ctx->b = b;
  ctx->c = c;
  ctx->d = d;
  return data;
}

void md5_init(md5_ctx *ctx)
{
  ctx->a = 0x67452301;
  ctx->b = 0xefcdab89;
  ctx->c = 0x98badcfe;
  ctx->d = 0x10325476;
  ctx->count_lo = 0;
  ctx->count_hi = 0;
}

void md5_update(md5_ctx *ctx, const void *data, uint32_t length)
{
  const uint8_t *input = static_cast<const uint8_t *>(data);
  const uint32_t old_count_lo = ctx->count_lo;
  ctx->count_lo = (old_count_lo + length) & 0x1fffffff;
  if (ctx->count_lo < old_count_lo)
    ctx->count_hi++;
  ctx->count_hi += length >> 29;

  const uint32_t used = old_count_lo & 0x3f;
  if (used != 0) {
    const uint32_t available = 64 - used;
    if (length < available) {
      memcpy(&ctx->buffer[used], input, length);
      return;
    }
    memcpy(&ctx->buffer[used], input, available);
    input += available;
    length -= available;
    md5_transform(ctx, ctx->buffer, 64);
  }
  if (length >= 64) {
    input = md5_transform(ctx, input, length & ~static_cast<uint32_t>(0x3f));
    length &= 0x3f;
  }
  memcpy(ctx->buffer, input, length);
}

void md5_final(uint8_t digest[MD5_DIGEST_LEN], md5_ctx *ctx)
{
  uint32_t used = ctx->count_lo & 0x3f;
  ctx->buffer[used++] = 0x80;
  uint32_t available = 64 - used;
  if (available < 8) {
    memset(&ctx->buffer[used], 0, available);
    md5_transform(ctx, ctx->buffer, 64);
    used = 0;
    available = 64;
  }
  memset(&ctx->buffer[used], 0, available - 8);

  ctx->count_lo <<= 3;
  store_le32(&ctx->buffer[56], ctx->count_lo);
  store_le32(&ctx->buffer[60], ctx->count_hi);
  md5_transform(ctx, ctx->buffer, 64);

  store_le32(&digest[0], ctx->a);
  store_le32(&digest[4], ctx->b);
  store_le32(&digest[8], ctx->c);
  store_le32(&digest[12], ctx->d);
  // The context held the message (a key modifier's input): wipe it all.
  secure_wipe(ctx, sizeof(*ctx));
}

void md5_digest(const void *data, uint32_t length, uint8_t digest[MD5_DIGEST_LEN])
{
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, data, length);
  md5_final(digest, &ctx);
}
