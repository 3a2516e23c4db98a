// SPDX-License-Identifier: MIT
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "keyring/keyring_device.h"
#include "keyring/keyring_location.h"
#include "support/capture.h"
#include "support/in_process.h"

namespace {

std::string test_blob()
{
  std::string blob;
  for (int i = 0; i < 80; i++)
    blob += static_cast<char>(0xA0 ^ i);
  return blob;
}

struct store_outcome {
  int result;
  std::string out;
};

store_outcome store_at(keyring_location *where, const std::string &blob)
{
  store_outcome o{0, ""};
  o.out = captured_output(1, [&] {
    o.result = keyring_store(where, reinterpret_cast<const uint8_t *>(blob.data()), static_cast<uint32_t>(blob.size()));
  });
  return o;
}

// Stores to the board's keyring, located as a run locates it.
class keyring_on_board : public on_board {
 protected:
  store_outcome store(const std::string &blob)
  {
    if (location.keydev == nullptr) {
      EXPECT_EQ(init_keydev_and_offset(&location), 0);
    }
    return store_at(&location, blob);
  }
};

// The erase block at `block`: the blob's page, then erased flash.
void expect_programmed_block(const board &b, size_t block, const std::string &blob)
{
  std::string flash = b.read("/dev/mtd2");
  ASSERT_EQ(flash.size(), NAND_PARTITION_SIZE);
  std::string page = blob + std::string(NAND_PAGE_SIZE - blob.size(), '\0');
  EXPECT_EQ(flash.substr(block * NAND_ERASE_SIZE, NAND_PAGE_SIZE), page);
  EXPECT_EQ(flash.substr(block * NAND_ERASE_SIZE + NAND_PAGE_SIZE, NAND_ERASE_SIZE - NAND_PAGE_SIZE),
            std::string(NAND_ERASE_SIZE - NAND_PAGE_SIZE, '\xff'));
}

std::string erased_flash() { return std::string(NAND_PARTITION_SIZE, '\xff'); }

// A store that kept the stopping signals blocked would pass the mask on to
// every child: cryptsetup could then not be interrupted.
void expect_stopping_signals_unblocked()
{
  sigset_t now;
  ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &now), 0);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    EXPECT_EQ(sigismember(&now, signal_number), 0) << signal_number;
}

TEST_F(keyring_on_board, emmc_store_writes_exactly_the_blob_and_syncs_it)
{
  make_emmc_board(b);
  b.image("/dev/mmcblk0p4", 4096, 0x5A);
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  std::string partition = b.read("/dev/mmcblk0p4");
  EXPECT_EQ(partition.substr(0, 80), test_blob());
  EXPECT_EQ(partition.substr(80), std::string(4096 - 80, 0x5A));
  EXPECT_STREQ(location.keydev, "/dev/mmcblk0p4");
  EXPECT_TRUE(b.log_lines("ioctl").empty()) << b.log();
  EXPECT_EQ(b.log_lines("fsync /dev/mmcblk0p4").size(), 1u) << b.log();
}

TEST_F(keyring_on_board, emmc_store_fails_when_the_blob_cannot_be_synced)
{
  make_emmc_board(b);
  b.write("/faults", "fsync_eio\n");
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, "[ERROR] keyring_store: sync keyring device\n");
}

TEST_F(keyring_on_board, nand_store_erases_programs_one_page_and_relocks_in_order)
{
  make_nand_board(b);
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  expect_programmed_block(b, 0, test_blob());
  EXPECT_EQ(b.read("/dev/mtd2").substr(NAND_ERASE_SIZE), erased_flash().substr(NAND_ERASE_SIZE));

  std::vector<std::string> requests;
  for (const std::string &line : b.log_lines("")) {
    if (line.find(" /dev/mtd2") != std::string::npos || line.rfind("fsync", 0) == 0)
      requests.push_back(line.substr(0, line.find(' ', line.find(' ') + 1 + strlen("/dev/mtd2 "))));
  }
  // No lock of its own: the run holds the keyring's lock.
  const std::vector<std::string> expected = {
      "open /dev/mtd2 O_RDWR|O_CLOEXEC", "ioctl /dev/mtd2 MEMGETINFO", "ioctl /dev/mtd2 MEMGETBADBLOCK",
      "ioctl /dev/mtd2 MEMGETINFO",      "ioctl /dev/mtd2 MEMUNLOCK",  "ioctl /dev/mtd2 MEMERASE",
      "lseek /dev/mtd2 0",               "write /dev/mtd2 0",          "ioctl /dev/mtd2 MEMLOCK",
      "close /dev/mtd2",
  };
  EXPECT_EQ(requests, expected) << b.log();
  expect_stopping_signals_unblocked();
}

struct bad_block_case {
  const char *name;
  const char *geometry;
  size_t block;  // where the blob lands
  int skipped;
};

const bad_block_case BAD_BLOCK_CASES[] = {
    {"no_bad_block", "", 0, 0},
    {"first_block_bad", "bad 0\n", 1, 1},
    {"two_bad_blocks_in_a_row", "bad 0\nbad 1\n", 2, 2},
    {"bad_block_after_the_first_is_irrelevant", "bad 1\n", 0, 0},
};

class nand_bad_blocks : public keyring_on_board, public testing::WithParamInterface<bad_block_case> {};

TEST_P(nand_bad_blocks, are_skipped_with_one_line_each)
{
  const bad_block_case &c = GetParam();
  make_nand_board(b, c.geometry);
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, 0);
  std::string lines;
  for (int i = 0; i < c.skipped; i++)
    lines += "Skipping bad block\n";
  EXPECT_EQ(o.out, lines);
  EXPECT_EQ(location.offset, c.block * NAND_ERASE_SIZE);
  expect_programmed_block(b, c.block, test_blob());
}

NAMED_CASES(nand_bad_blocks, bad_block_case, BAD_BLOCK_CASES);

struct refused_case {
  const char *name;
  const char *geometry;  // replaces the default geometry file
  int result;
  const char *out;
};

const std::string EIGHT_SKIPS = [] {
  std::string s;
  for (int i = 0; i < 8; i++)
    s += "Skipping bad block\n";
  return s;
}();

const refused_case REFUSED_CASES[] = {
    {"page_size_zero", "erasesize 131072\nwritesize 0\n", -22, "[ERROR] keyring_store: Invalid size 0\n"},
    {"page_smaller_than_blob", "erasesize 131072\nwritesize 64\n", -22, "[ERROR] keyring_store: Invalid size 64\n"},
    {"no_mtd_info", "erasesize 131072\nwritesize 2048\ngetinfo_fail\n", -1,
     "[ERROR] keyring_store: Failed to get mtd info\n"},
    {"erase_size_zero", "erasesize 0\nwritesize 2048\n", -1, "[ERROR] is_bad_block: Failed to get mtd info\n"},
    {"erase_size_zero_and_bad_first_block", "erasesize 0\nwritesize 2048\nbad 0\n", -1,
     "[ERROR] is_bad_block: Failed to get mtd info\n"},
    {"every_block_bad_runs_off_the_end",
     "erasesize 131072\nwritesize 2048\nbad 0\nbad 1\nbad 2\nbad 3\nbad 4\nbad 5\nbad 6\nbad 7\n", -1, nullptr},
};

class nand_store_refused : public keyring_on_board, public testing::WithParamInterface<refused_case> {};

TEST_P(nand_store_refused, erases_and_writes_nothing)
{
  const refused_case &c = GetParam();
  make_nand_board(b);
  b.write("/dev/mtd2.nand", c.geometry);
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(o.out, c.out != nullptr ? c.out : EIGHT_SKIPS);
  EXPECT_EQ(b.read("/dev/mtd2"), erased_flash());
  EXPECT_TRUE(b.log_lines("ioctl /dev/mtd2 MEMERASE").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("write /dev/mtd2").empty()) << b.log();
}

NAMED_CASES(nand_store_refused, refused_case, REFUSED_CASES);

TEST_F(keyring_on_board, nand_erase_failure_is_reported_and_not_relocked)
{
  make_nand_board(b, "erase_fail 0\n");
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, std::string("[ERROR] keyring_store: MTD erase error: ") + strerror(EIO) + "\n");
  EXPECT_TRUE(b.log_lines("ioctl /dev/mtd2 MEMLOCK").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("write /dev/mtd2").empty()) << b.log();
  expect_stopping_signals_unblocked();
}

TEST_F(keyring_on_board, nand_without_lock_support_still_stores)
{
  make_nand_board(b, "lock unsupported\n");
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  expect_programmed_block(b, 0, test_blob());
}

TEST_F(keyring_on_board, nand_store_fails_on_a_failing_write_and_relocks)
{
  make_nand_board(b);
  b.write("/faults", "keyring_write_eio\n");
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, "[ERROR] keyring_store: write key blob\n");
  EXPECT_EQ(b.log_lines("ioctl /dev/mtd2 MEMLOCK").size(), 1u) << b.log();
  expect_stopping_signals_unblocked();
}

TEST_F(keyring_on_board, missing_keyring_device_is_reported)
{
  make_emmc_board(b);
  b.remove("/dev/mmcblk0p4");
  store_outcome o = store(test_blob());
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, "[ERROR] keyring_store: open keyring device\n");
}

TEST_F(keyring_on_board, only_a_located_primary_is_written)
{
  make_emmc_board(b);
  keyring_location fallback;
  fallback.keydev = strdup("/dev/mmcblk0p4");
  fallback.source = KEYRING_FALLBACK;
  for (keyring_location *where : {&location, &fallback}) {
    store_outcome o = store_at(where, test_blob());
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "[ERROR] keyring_store: not the keyring partition\n");
  }
  free_keydev(&fallback);
  EXPECT_TRUE(b.log_lines("open /dev/mmcblk0p4").empty()) << b.log();
}

TEST_F(keyring_on_board, read_after_store_in_the_same_run_starts_at_the_written_block)
{
  make_nand_board(b, "bad 0\n");
  ASSERT_EQ(store(test_blob()).result, 0);
  int fd = open("/dev/mtd2", O_RDONLY);  // through the simulator: a raw NAND device
  ASSERT_GE(fd, 0);
  int result = 0;
  std::string out = captured_output(1, [&] { result = is_bad_block(&location, fd); });
  close(fd);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(location.offset, NAND_ERASE_SIZE);
}

}  // namespace
