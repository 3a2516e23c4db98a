// SPDX-License-Identifier: MIT
// The CAAM key blob device: KEY_BLOB_ENCRYPT and KEY_BLOB_DECRYPT on a
// key_blob_request, bound to a per-board secret from the sandbox. The blob is
// not the chip's format; it only has the chip's properties that the program
// relies on: 48 bytes of overhead, and another board or modifier refuses it.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/random.h>
#include <unistd.h>

namespace board_sim {
namespace {

// The process's locked memory (VmLck), to show whether key material can swap.
long locked_kib()
{
  static char status[8192];
  if (!read_text("/proc/self/status", status, sizeof(status)))
    return -1;
  const char *line = strstr(status, "VmLck:");
  return line != nullptr ? strtol(line + 6, nullptr, 10) : -1;
}

constexpr size_t NONCE_LEN = 16, TAG_LEN = 32;
static_assert(NONCE_LEN + TAG_LEN == KEY_BLOB_OVERHEAD, "blob layout: nonce, ciphertext, tag");

uint64_t rotl(uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

// SipHash-2-4: a keyed 64-bit function small enough to carry here.
uint64_t siphash(const uint64_t key[2], const uint8_t *in, size_t n)
{
  uint64_t v[4] = {key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull, key[0] ^ 0x6c7967656e657261ull,
                   key[1] ^ 0x7465646279746573ull};
  auto rounds = [&v](int count) {
    while (count-- > 0) {
      v[0] += v[1], v[1] = rotl(v[1], 13) ^ v[0], v[0] = rotl(v[0], 32);
      v[2] += v[3], v[3] = rotl(v[3], 16) ^ v[2];
      v[0] += v[3], v[3] = rotl(v[3], 21) ^ v[0];
      v[2] += v[1], v[1] = rotl(v[1], 17) ^ v[2], v[2] = rotl(v[2], 32);
    }
  };
  for (size_t at = 0;; at += 8) {
    uint64_t m = at + 8 > n ? static_cast<uint64_t>(n) << 56 : 0;  // the last word carries the length
    for (size_t i = 0; i < 8 && at + i < n; i++)
      m |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    v[3] ^= m;
    rounds(2);
    v[0] ^= m;
    if (at + 8 > n)
      break;
  }
  v[2] ^= 0xff;
  rounds(4);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// 32 bytes bound to the board secret and the modifier, over domain || nonce ||
// counter || extra: the keystream ('K') and the tag ('T') of a blob.
void keyed_digest(char domain, const char *secret, const uint8_t *modifier, const uint8_t *nonce,
                  uint32_t counter, const uint8_t *extra, size_t extra_len, uint8_t digest[32])
{
  uint8_t message[64 + MAX_RAW_KEY];
  const size_t secret_len = strlen(secret);
  copy_secret(message, reinterpret_cast<const uint8_t *>(secret), secret_len);
  copy_secret(message + secret_len, modifier, KEY_MODIFIER_LEN);
  const uint64_t derive0[2] = {0x626f617264736563ull, 1}, derive1[2] = {0x626f617264736563ull, 2};
  const uint64_t board_key[2] = {siphash(derive0, message, secret_len + KEY_MODIFIER_LEN),
                                 siphash(derive1, message, secret_len + KEY_MODIFIER_LEN)};
  size_t n = 0;
  message[n++] = static_cast<uint8_t>(domain);
  message[n++] = 0;  // which 8 bytes of the digest
  copy_secret(message + n, nonce, NONCE_LEN);
  n += NONCE_LEN;
  for (int shift = 0; shift < 32; shift += 8)
    message[n++] = static_cast<uint8_t>(counter >> shift);
  if (extra_len != 0)
    copy_secret(message + n, extra, extra_len);
  n += extra_len;
  for (int part = 0; part < 4; part++) {
    message[1] = static_cast<uint8_t>(part);
    uint64_t out = siphash(board_key, message, n);
    for (int i = 0; i < 8; i++)
      digest[8 * part + i] = static_cast<uint8_t>(out >> (8 * i));
  }
  explicit_bzero(message, sizeof(message));
}

// XORs `n` bytes of `in` with the keystream into `out`.
void apply_keystream(const char *secret, const uint8_t *modifier, const uint8_t *nonce, const uint8_t *in,
                     uint8_t *out, size_t n)
{
  uint8_t stream[32];
  for (size_t at = 0; at < n; at += sizeof(stream)) {
    keyed_digest('K', secret, modifier, nonce, static_cast<uint32_t>(at / sizeof(stream)), nullptr, 0, stream);
    for (size_t i = 0; i < sizeof(stream) && at + i < n; i++)
      out[at + i] = in[at + i] ^ stream[i];
  }
  explicit_bzero(stream, sizeof(stream));
}

// The compiler keeps copies of what it hashes in registers it spills to the
// stack; this overwrites the stack the request's callees used.
__attribute__((noinline)) void burn_stack()
{
  uint8_t area[16384];
  explicit_bzero(area, sizeof(area));
  __asm__ __volatile__("" : : "r"(area) : "memory");
}

// The device's work on a well-formed request; returns its outcome word and
// sets *error (0 on success).
const char *run_request(bool encrypt, int fd, const key_blob_request &r, int *error)
{
  // The device's configuration is the file behind the descriptor.
  char config[1024];
  ssize_t n = pread64(fd, config, sizeof(config) - 1, 0);
  config[n > 0 ? n : 0] = '\0';
  char secret[64] = "";
  bool refuse = false;
  bool wrong_key = false;
  // Well-formed requests of this process, counted from 1.
  static unsigned long requests = 0;
  requests++;
  const char *cursor = config;
  setting s;
  while (next_setting(&cursor, &s)) {
    if (strcmp(s.word, "secret") == 0)
      snprintf(secret, sizeof(secret), "%s", s.value);
    refuse |= strcmp(s.word, "fail_all") == 0 || strcmp(s.word, encrypt ? "fail_encrypt" : "fail_decrypt") == 0;
    refuse |= strcmp(s.word, "fail_request") == 0 && setting_number(s) == requests;
    wrong_key |= !encrypt && strcmp(s.word, "wrong_key_request") == 0 && setting_number(s) == requests;
  }
  *error = EIO;
  uint8_t *nonce = r.key_blob, *body = r.key_blob + NONCE_LEN, *tag = body + r.raw_key_len;
  if (refuse || (encrypt && NEXT(getrandom)(nonce, NONCE_LEN, 0) != static_cast<ssize_t>(NONCE_LEN)))
    return "fail";
  if (encrypt) {
    apply_keystream(secret, r.key_modifier, nonce, r.raw_key, body, r.raw_key_len);
    keyed_digest('T', secret, r.key_modifier, nonce, r.raw_key_len, body, r.raw_key_len, tag);
  } else {
    uint8_t expected[TAG_LEN], difference = 0;
    keyed_digest('T', secret, r.key_modifier, nonce, r.raw_key_len, body, r.raw_key_len, expected);
    for (size_t i = 0; i < TAG_LEN; i++)
      difference |= static_cast<uint8_t>(expected[i] ^ tag[i]);
    if (difference != 0) {
      *error = EBADMSG;  // nothing is written for a blob this board did not make
      return "refused";
    }
    apply_keystream(secret, r.key_modifier, nonce, body, r.raw_key, r.raw_key_len);
    if (wrong_key)
      r.raw_key[0] ^= 1;
  }
  remember(r.raw_key, r.raw_key_len, r.key_blob, r.key_blob_len, r.key_modifier);
  *error = 0;
  return "ok";
}

}  // namespace

int key_blob_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument)
{
  sim_log("dumpable %d locked %ld kB", prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), locked_kib());
  const bool encrypt = request == KEY_BLOB_ENCRYPT;
  if (!encrypt && request != KEY_BLOB_DECRYPT) {
    sim_log("ioctl %s 0x%lx %s", t.path, request, outcome(fail(ENOTTY)));
    return -1;
  }
  const char *op = encrypt ? "ENCRYPT" : "DECRYPT";
  if (argument == nullptr) {
    sim_log("caam %s invalid", op);
    return fail(EFAULT);
  }
  key_blob_request r;
  memcpy(&r, argument, sizeof(r));
  int error = EINVAL;
  const char *how = "invalid";
  if (r.raw_key != nullptr && r.key_blob != nullptr && r.key_modifier != nullptr && r.raw_key_len != 0 &&
      r.raw_key_len <= MAX_RAW_KEY && r.key_blob_len == r.raw_key_len + KEY_BLOB_OVERHEAD &&
      r.key_modifier_len == KEY_MODIFIER_LEN) {
    how = run_request(encrypt, fd, r, &error);
    burn_stack();
    forget_vector_registers();
  }
  sim_log("caam %s %u %u %u %s", op, r.raw_key_len, r.key_blob_len, r.key_modifier_len, how);
  return error == 0 ? 0 : fail(error);
}

}  // namespace board_sim
