// SPDX-License-Identifier: MIT
// The key recovered from the stored blob on simulated boards: at the primary
// location, behind the U-Boot environment only after a refusal, and the
// failures that start no keyed cryptsetup.
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

// A blob that the device of this board refuses: made on another board.
void store_foreign_blob(const board &b)
{
  b.write("/dev/caam_kb", "secret another-board\n");
  ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
  b.write("/dev/caam_kb", "secret board-a\n");
}

TEST(key_recovery, valid_blob_at_the_primary_location_needs_one_attempt)
{
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.clear_log();
  EXPECT_EQ(key_given_to_open(b), key_00_to_1f());
  EXPECT_EQ(b.log_lines("caam DECRYPT 32 80 16").size(), 1u) << b.log();
  EXPECT_TRUE(b.log_lines("fopen /etc/fw_env.config").empty()) << b.log();
  expect_no_leak(b);
}

// Moves the stored blob behind the U-Boot environment and erases the primary.
void move_blob_to_fallback(const board &b)
{
  std::string blob = b.read("/dev/mmcblk0p4").substr(0, 80);
  std::string disk(0x500000, '\0');
  disk.replace(0x402000, 80, blob);
  b.write("/dev/mmcblk0", disk);
  b.image("/dev/mmcblk0p4", 1024 * 1024, 0);
  b.write("/etc/fw_env.config", "# device offset size\n/dev/mmcblk0 0x3fe000 0x2000\n/dev/mmcblk0 0x400000 0x2000\n");
}

TEST(key_recovery, erased_primary_falls_back_behind_the_environment_silently)
{
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  move_blob_to_fallback(b);
  b.clear_log();
  EXPECT_EQ(key_given_to_open(b), key_00_to_1f());
  EXPECT_EQ(b.log_lines("caam DECRYPT").size(), 2u) << b.log();
  expect_no_leak(b);
}

struct recovery_failure {
  const char *name;
  void (*prepare)(const board &);
  std::string out;
  size_t decrypts;
  bool fallback_read;
};

const recovery_failure RECOVERY_FAILURES[] = {
    {"refused_at_both_locations",
     [](const board &b) {
       store_foreign_blob(b);
       b.write("/etc/fw_env.config", "/dev/mmcblk0 0x0 0x2000\n");
       b.image("/dev/mmcblk0", 0x10000, 0xFF);
     },
     "[ERROR] get_plain_key: decrypt ioctl\n", 2, true},
    {"missing_environment_config_after_a_refusal", [](const board &b) { store_foreign_blob(b); },
     "[ERROR] get_keydev_and_offset_from_fwenv: Failed to open /etc/fw_env.config\n"
     "[ERROR] get_plain_key: decrypt ioctl\n", 2, true},
    {"keyring_shorter_than_a_blob", [](const board &b) { b.image("/dev/mmcblk0p4", 50, 0); },
     "[ERROR] read_and_verify_key: read key blob\n", 0, false},
    {"key_blob_device_missing", [](const board &b) {
       ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
       b.remove("/dev/caam_kb");
     },
     "[ERROR] read_and_verify_key: open key blob device\n", 0, false},
    {"fuses_unreadable", [](const board &b) {
       ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
       b.write("/sys/fsl_otp/HW_OCOTP_MAC1", "");
     },
     "[ERROR] compute_keymod Read: ", 0, false},
    {"no_safe_partition", [](const board &b) { b.fdisk_prints(read_fixture("fdisk/mbr.txt")); }, "", 0, false},
};

class recovery_fails : public testing::TestWithParam<recovery_failure> {};

TEST_P(recovery_fails, before_any_volume_command_runs)
{
  const recovery_failure &c = GetParam();
  board b;
  make_emmc_board(b);
  c.prepare(b);
  b.clear_log();
  cryptsetup_forget(b);
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
  const std::string tail = "[ERROR] cryptsetup_open: recover key\n[ERROR] main: open partition\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(b.log_lines("caam DECRYPT").size(), c.decrypts) << b.log();
  EXPECT_EQ(b.log_lines("fopen /etc/fw_env.config").size() != 0, c.fallback_read) << b.log();
  // Only the isLuks check ran; no key reached a cryptsetup.
  EXPECT_EQ(cryptsetup_calls(b), std::vector<std::string>{"isLuks /dev/mmcblk0p3"});
  expect_no_leak(b);
}

NAMED_CASES(recovery_fails, recovery_failure, RECOVERY_FAILURES);

}  // namespace
