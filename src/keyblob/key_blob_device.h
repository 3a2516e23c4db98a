// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>

// The record exchanged with the CAAM key blob driver: each buffer address is
// followed by its length, one machine word each.
struct key_blob_request {
  uint8_t *raw_key;
  uint32_t raw_key_len;
  uint8_t *key_blob;
  uint32_t key_blob_len;
  uint8_t *key_modifier;
  uint32_t key_modifier_len;
};

constexpr size_t KEY_LEN = 32;
constexpr size_t KEY_MODIFIER_LEN = 16;
constexpr size_t KEY_BLOB_OVERHEAD = 48;
constexpr size_t KEY_BLOB_LEN = KEY_LEN + KEY_BLOB_OVERHEAD;
constexpr size_t KEY_BASE64_LEN = 44;

constexpr const char *KEY_BLOB_DEVICE = "/dev/caam_kb";

constexpr unsigned long KEY_BLOB_ENCRYPT = _IOWR('I', 0, key_blob_request);
constexpr unsigned long KEY_BLOB_DECRYPT = _IOWR('I', 1, key_blob_request);

static_assert(KEY_BLOB_LEN == 80, "a volume key blob is 80 bytes");

#if UINTPTR_MAX == 0xffffffffu
// The driver's ABI on the 32-bit target: six 32-bit words.
static_assert(sizeof(key_blob_request) == 24, "key_blob_request is six 32-bit words");
static_assert(KEY_BLOB_ENCRYPT == 0xC0184900ul, "encrypt request code");
static_assert(KEY_BLOB_DECRYPT == 0xC0184901ul, "decrypt request code");
#else
// On 64-bit targets (i.MX 8) each address takes 8 bytes and each length is
// padded to 8: the driver's record is 48 bytes, and the size is in the codes.
static_assert(sizeof(key_blob_request) == 48, "key_blob_request is three address and length pairs of 8+8 bytes");
static_assert(KEY_BLOB_ENCRYPT == 0xC0304900ul, "encrypt request code");
static_assert(KEY_BLOB_DECRYPT == 0xC0304901ul, "decrypt request code");
#endif
