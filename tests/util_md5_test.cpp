// SPDX-License-Identifier: MIT
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/test_data.h"
#include "util/md5.h"

namespace {

std::string hex_digest(const uint8_t digest[MD5_DIGEST_LEN]) { return hex(digest, MD5_DIGEST_LEN); }

struct vector_case {
  const char *message;
  const char *digest;
};

// The test suite of RFC 1321, appendix A.5.
const vector_case RFC1321_SUITE[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(md5, reproduces_the_rfc1321_suite_in_one_call)
{
  for (const vector_case &c : RFC1321_SUITE) {
    uint8_t digest[MD5_DIGEST_LEN];
    md5_digest(c.message, static_cast<uint32_t>(strlen(c.message)), digest);
    EXPECT_EQ(hex_digest(digest), c.digest) << '"' << c.message << '"';
  }
}

TEST(md5, any_split_over_updates_gives_the_same_digest)
{
  for (const vector_case &c : RFC1321_SUITE) {
    const uint32_t n = static_cast<uint32_t>(strlen(c.message));
    for (uint32_t first = 0; first <= n; first++) {
      for (uint32_t second = first; second <= n; second += 7) {
        md5_ctx ctx;
        md5_init(&ctx);
        md5_update(&ctx, c.message, first);
        md5_update(&ctx, c.message + first, 0);
        md5_update(&ctx, c.message + first, second - first);
        md5_update(&ctx, c.message + second, n - second);
        uint8_t digest[MD5_DIGEST_LEN];
        md5_final(digest, &ctx);
        ASSERT_EQ(hex_digest(digest), c.digest) << first << "/" << second;
      }
    }
  }
}

TEST(md5, padding_boundaries_around_one_block)
{
  // Lengths 55, 56, 63, 64 and 65 of 'a' (reference digests of the same inputs).
  struct {
    size_t length;
    const char *digest;
  } const rows[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},
      {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},
      {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},
  };
  for (const auto &row : rows) {
    std::string message(row.length, 'a');
    uint8_t digest[MD5_DIGEST_LEN];
    md5_digest(message.data(), static_cast<uint32_t>(message.size()), digest);
    EXPECT_EQ(hex_digest(digest), row.digest) << row.length;
  }
}

TEST(md5, unaligned_input_and_long_input)
{
  // One million 'a' (a classic reference value), fed from an odd address.
  std::string storage(1000001, 'a');
  const char *unaligned = storage.data() + 1;
  uint8_t digest[MD5_DIGEST_LEN];
  md5_digest(unaligned, 1000000, digest);
  EXPECT_EQ(hex_digest(digest), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(md5, final_leaves_the_whole_context_zeroed)
{
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, "secret fuse words and more than one block of them, to fill the block words", 75);
  uint8_t digest[MD5_DIGEST_LEN];
  md5_final(digest, &ctx);
  md5_ctx zero;
  memset(&zero, 0, sizeof(zero));
  EXPECT_EQ(memcmp(&ctx, &zero, sizeof(ctx)), 0);
}

TEST(md5, field_order_of_the_context)
{
  EXPECT_EQ(offsetof(md5_ctx, count_lo), 0u);
  EXPECT_EQ(offsetof(md5_ctx, count_hi), 4u);
  EXPECT_EQ(offsetof(md5_ctx, a), 8u);
  EXPECT_EQ(offsetof(md5_ctx, d), 20u);
  EXPECT_EQ(offsetof(md5_ctx, buffer), 24u);
  EXPECT_EQ(offsetof(md5_ctx, block), 88u);
}

}  // namespace
