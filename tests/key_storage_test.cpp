// SPDX-License-Identifier: MIT
// What a stored key leaves on a simulated board: a blob read back before it
// counts, bad NAND blocks skipped once, the plain key in no file.
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

// A stored blob counts only once it is read back from the flash and unwraps
// to the key just made; a failed check formats and opens nothing.
struct verify_case {
  const char *name;
  bool nand;
  std::string geometry;  // NAND extra geometry
  std::string faults;
  const char *caam;      // device configuration; nullptr: the board's own
  bool stored_before;    // an older key's blob stands in the keyring
  bool verified;
  std::string read_line;  // where the check reads the blob back
};

const verify_case VERIFY_CASES[] = {
    {"emmc_read_back_past_the_page_cache", false, "", "", nullptr, false, true, "read /dev/mmcblk0p4 0 80 -> 80"},
    {"nand_read_back_in_the_block_written", true, "bad 0\n", "", nullptr, false, true,
     "read /dev/mtd2 131072 80 -> 80"},
    {"lost_write_leaves_an_older_key", false, "", "keyring_write_lost\n", nullptr, true, false,
     "read /dev/mmcblk0p4 0 80 -> 80"},
    {"lost_write_leaves_erased_nand", true, "", "keyring_write_lost\n", nullptr, false, false,
     "read /dev/mtd2 0 80 -> 80"},
    {"read_back_fails", false, "", "keyring_read_eio\n", nullptr, false, false,
     "read /dev/mmcblk0p4 0 80 -> -1 EIO"},
    // The third request: after the encryption and the unwrap in memory.
    {"decrypt_request_fails", false, "", "", "secret board-a\nfail_request 3\n", false, false,
     "read /dev/mmcblk0p4 0 80 -> 80"},
};

class store_check : public testing::TestWithParam<verify_case> {};

TEST_P(store_check, reads_the_blob_back_and_unwraps_it_once)
{
  const verify_case &c = GetParam();
  board b;
  if (c.nand)
    make_nand_board(b, c.geometry);
  else
    make_emmc_board(b);
  if (c.stored_before) {
    ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
  }
  if (c.caam != nullptr)
    b.write("/dev/caam_kb", c.caam);
  b.write("/faults", c.faults);
  b.clear_log();
  cryptsetup_forget(b);
  program_result r = run_on_board(b, {"-f", "-n" + KEY_TEXT, "/dev/mmcblk0p3", "cryptroot"});
  const std::string skipped = c.geometry.empty() ? "" : "Skipping bad block\n";
  const std::string keyring = c.nand ? "/dev/mtd2" : "/dev/mmcblk0p4";
  std::vector<std::string> requests = b.log_lines("caam");
  const bool blob_read = c.read_line.find("EIO") == std::string::npos;
  // The encryption, its unwrap in memory, one decryption of what was read
  // back, then the recovery of the open; the format took the key itself.
  ASSERT_EQ(requests.size(), 2u + (blob_read ? 1u : 0u) + (c.verified ? 1u : 0u)) << b.log();
  EXPECT_EQ(requests[0], "caam ENCRYPT 32 80 16 ok");
  EXPECT_EQ(requests[1], "caam DECRYPT 32 80 16 ok");
  if (blob_read) {
    EXPECT_EQ(requests[2].rfind("caam DECRYPT 32 80 16 ", 0), 0u) << requests[2];
  }
  if (c.verified) {
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, skipped);
    EXPECT_EQ(cryptsetup_input(b, 1), key_00_to_1f());
  } else {
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, skipped + "[ERROR] generate_key: verify stored key blob\n[ERROR] main: generate key\n");
    EXPECT_EQ(cryptsetup_calls(b), std::vector<std::string>{FORMAT_OPTIONS + " -d - luksFormat /dev/mmcblk0p3"});
  }
  EXPECT_EQ(r.err, "");
  // One read of the blob, by its own descriptor after the store's, from the
  // device itself on eMMC.
  std::string log = b.log();
  size_t stored = log.find(c.nand ? "ioctl /dev/mtd2 MEMLOCK" : "fsync /dev/mmcblk0p4 -> 0");
  size_t read_back = log.find(c.read_line);
  ASSERT_NE(stored, std::string::npos) << log;
  ASSERT_NE(read_back, std::string::npos) << log;
  EXPECT_LT(stored, read_back);
  EXPECT_LT(log.find("caam DECRYPT"), stored) << "the unwrap in memory comes first";
  if (blob_read) {
    EXPECT_LT(read_back, log.find("caam DECRYPT", stored));
  }
  if (!c.nand) {
    EXPECT_LT(log.find("fadvise /dev/mmcblk0p4 0 0 DONTNEED -> 0", stored), read_back) << log;
  }
  expect_no_leak(b);
}

NAMED_CASES(store_check, verify_case, VERIFY_CASES);

TEST(key_recovery, nand_bad_blocks_are_skipped_on_read_in_a_fresh_run)
{
  board b;
  make_nand_board(b, "bad 0\nbad 1\n");
  program_result r = run_on_board(b, {"--newkey=" + KEY_TEXT});
  EXPECT_EQ(r.out, "Skipping bad block\nSkipping bad block\n");
  cryptsetup_forget(b);
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Skipping bad block\nSkipping bad block\n");
  EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f());
}

TEST(key_recovery, nand_store_then_format_and_open_in_one_run_skip_once)
{
  board b;
  make_nand_board(b, "bad 0\n");
  program_result r = run_on_board(b, {"-f", "-n" + KEY_TEXT, "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Skipping bad block\n");
  EXPECT_EQ(cryptsetup_input(b, 1), key_00_to_1f());
  EXPECT_EQ(cryptsetup_input(b, 3), key_00_to_1f());
}

// Every file below `dir` that holds an 8-byte window of `secret`.
std::vector<std::string> files_holding(const std::string &dir, const std::string &secret)
{
  std::vector<std::string> hits;
  program_result r = run_shell("find '" + dir + "' -type f");
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    std::string path = r.out.substr(start, end - start);
    start = end + 1;
    FILE *f = fopen(path.c_str(), "rb");
    std::string content;
    char buffer[65536];
    size_t n;
    while (f != nullptr && (n = fread(buffer, 1, sizeof(buffer), f)) > 0)
      content.append(buffer, n);
    if (f != nullptr)
      fclose(f);
    for (size_t at = 0; at + 8 <= secret.size(); at++) {
      if (content.find(secret.substr(at, 8)) != std::string::npos) {
        hits.push_back(path);
        break;
      }
    }
  }
  return hits;
}

TEST(key_generation, plain_key_is_in_no_file_the_program_writes)
{
  for (bool nand : {false, true}) {
    board b;
    if (nand)
      make_nand_board(b, "bad 0\n");
    else
      make_emmc_board(b);
    ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
    ASSERT_EQ(run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"}).status, 0);
    b.remove("/fake/stdin.2");  // what the fake cryptsetup itself recorded
    EXPECT_EQ(files_holding(b.root, key_00_to_1f()), std::vector<std::string>{}) << (nand ? "NAND" : "eMMC");
  }
}

}  // namespace
