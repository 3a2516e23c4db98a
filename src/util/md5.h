// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MD5_DIGEST_LEN = 16;

// The field order is part of the design: md5_final zeroes all of it.
struct md5_ctx {
  uint32_t count_lo;  // bytes hashed so far, modulo 2^29
  uint32_t count_hi;  // bytes hashed so far, divided by 2^29
  uint32_t a, b, c, d;
  uint8_t buffer[64];
  uint32_t block[16];
};

void md5_init(md5_ctx *ctx);
void md5_update(md5_ctx *ctx, const void *data, uint32_t length);
void md5_final(uint8_t digest[MD5_DIGEST_LEN], md5_ctx *ctx);
void md5_digest(const void *data, uint32_t length, uint8_t digest[MD5_DIGEST_LEN]);

// Compresses `size` bytes (a positive multiple of 64); returns the end position.
const uint8_t *md5_transform(md5_ctx *ctx, const uint8_t *data, size_t size);
