// SPDX-License-Identifier: MIT
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "keyring/keyring_location.h"
#include "support/board_builders.h"
#include "support/capture.h"
#include "support/in_process.h"

namespace {

struct cmdline_case {
  const char *name;
  std::string content;  // "<missing>": no /proc/cmdline at all
  int result;
  const char *output;
};

const std::string LONG_PREFIX = "mtdparts=gpmi-nand:" + std::string(4000, 'x');

const cmdline_case CMDLINE_CASES[] = {
    {"ubi_root", "console=ttymxc0,115200 root=ubi0:rootfs rootfstype=ubifs\n", 1, ""},
    {"mtdblock_root", "root=/dev/mtdblock3 ro\n", 1, ""},
    {"emmc_root", "console=ttymxc0 root=/dev/mmcblk0p2 rootwait rw\n", 0, ""},
    {"emmc_root_last_with_newline", "rootwait root=/dev/mmcblk0p2\n", 0, ""},
    {"nfsroot_and_xroot_are_other_words", "nfsroot=10.0.0.1:/srv/mtd xroot=ubi0 root=/dev/mmcblk0p2\n", 0, ""},
    {"value_ends_at_a_tab", "root=/dev/mmcblk0p2\tubi.mtd=3\n", 0, ""},
    {"last_root_counts", "root=/dev/mmcblk0p2 root=ubi0:rootfs\n", 1, ""},
    {"words_after_a_lone_double_dash_do_not_count", "root=/dev/mmcblk0p2 -- root=ubi0:rootfs\n", 0, ""},
    {"no_root", "console=ttymxc0,115200 rootwait -- root=ubi0:rootfs\n", -1, ""},
    {"root_after_4000_characters", LONG_PREFIX + " root=ubi0:rootfs\n", 1, ""},
    // Only a value that begins as a UBI or MTD device is one.
    {"mtd_by_name", "root=mtd:rootfs\n", 1, ""},
    {"ubi_block_device", "root=/dev/ubiblock0_1\n", 1, ""},
    {"mapper_name_holding_ubi", "root=/dev/mapper/cubie-root\n", 0, ""},
    // Quotes: blanks inside do not split, and they are not part of the value.
    {"quoted_value", "root=\"ubi0:rootfs\" rw\n", 1, ""},
    {"quoted_word", "\"root=/dev/mtdblock3\"\n", 1, ""},
    {"root_inside_another_quoted_word", "root=/dev/mmcblk0p2 dyndbg=\"file ubi root=ubi0:x +p\"\n", 0, ""},
    {"double_dash_inside_quotes_ends_nothing", "x=\"a -- b\" root=ubi0:rootfs\n", 1, ""},
    {"empty_file", "", -5, ""},
    {"missing_file", "<missing>", -5, "[ERROR] check_cmdline_for_nand: Failed to open '/proc/cmdline'\n"},
};

class cmdline : public on_board, public testing::WithParamInterface<cmdline_case> {};

TEST_P(cmdline, decides_nand_or_emmc)
{
  const cmdline_case &c = GetParam();
  if (c.content != "<missing>")
    b.write("/proc/cmdline", c.content);
  int result = 0;
  std::string out = captured_output(1, [&] { result = check_cmdline_for_nand(); });
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(out, c.output);

  // init passes a failure on unchanged and leaves the location unknown.
  if (c.result < 0) {
    out = captured_output(1, [&] { result = init_keydev_and_offset(&location); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(location.keydev, nullptr);
  }
}

NAMED_CASES(cmdline, cmdline_case, CMDLINE_CASES);

struct table_case {
  const char *name;
  std::string table;  // /proc/mtd, or the fdisk listing
  int result;
  const char *keydev;
};

const std::string MTD_HEADER = "dev:    size   erasesize  name\n";

const table_case MTD_CASES[] = {
    {"kernel_format", MTD_HEADER + "mtd0: 00400000 00020000 \"u-boot\"\nmtd3: 00100000 00020000 \"safe\"\n", 0, "/dev/mtd3"},
    {"first_match_wins", MTD_HEADER + "mtd5: 00100000 00020000 \"safe\"\nmtd6: 00100000 00020000 \"safe\"\n", 0, "/dev/mtd5"},
    {"near_misses", MTD_HEADER + "mtd1: 00100000 00020000 \"safe2\"\nmtd2: 00100000 00020000 \"Safe\"\n"
                                  "mtd3: 00100000 00020000 \"my safe\"\nmtd4: 00100000 00020000 safe\n", -1, nullptr},
    {"lines_not_starting_with_mtd", MTD_HEADER + " mtd3: 00100000 00020000 \"safe\"\n\nxmtd3: 0 0 \"safe\"\n", -1, nullptr},
    {"header_only", MTD_HEADER, -1, nullptr},
};

class mtd_table : public on_board, public testing::WithParamInterface<table_case> {};

TEST_P(mtd_table, finds_the_safe_partition)
{
  const table_case &c = GetParam();
  b.write("/proc/cmdline", "root=ubi0:rootfs\n");
  b.write("/proc/mtd", c.table);
  EXPECT_EQ(init_keydev_and_offset(&location), c.result);
  EXPECT_EQ(location.keydev_is_mtd, 1);
  if (c.keydev == nullptr) {
    EXPECT_EQ(location.keydev, nullptr);
  } else {
    ASSERT_NE(location.keydev, nullptr);
    EXPECT_STREQ(location.keydev, c.keydev);
    EXPECT_EQ(location.offset, 0u);
  }
}

NAMED_CASES(mtd_table, table_case, MTD_CASES);

TEST_F(on_board, missing_mtd_table_is_reported)
{
  b.write("/proc/cmdline", "root=ubi0:rootfs\n");
  int result = 0;
  std::string out = captured_output(1, [&] { result = init_keydev_and_offset(&location); });
  EXPECT_EQ(result, -5);
  EXPECT_EQ(out, "[ERROR] init_keydev_and_offset: Failed to open /proc/mtd\n");
  EXPECT_EQ(location.keydev, nullptr);
}

// Real BusyBox listings: 1.25 prints a type column (always 0700), 1.26 and
// later print none; both must find the keyring.
struct listing_case {
  const char *name;
  const char *fixture;
  const char *keydev;
};

const listing_case LISTING_CASES[] = {
    {"busybox_1_25_p4", "busybox-1.25.1/gpt-safe-p4.txt", "/dev/mmcblk0p4"},
    {"busybox_1_36_p4", "gpt-safe-p4.txt", "/dev/mmcblk0p4"},
    {"busybox_1_25_p12", "busybox-1.25.1/gpt-safe-p12.txt", "/dev/mmcblk0p12"},
    {"busybox_1_36_p12", "gpt-safe-p12.txt", "/dev/mmcblk0p12"},
    {"busybox_1_25_ef00_shows_0700", "busybox-1.25.1/gpt-safe-ef00.txt", "/dev/mmcblk0p4"},
    {"busybox_1_36_large_disk", "gpt-large-16g.txt", "/dev/mmcblk0p3"},
    {"busybox_1_25_large_disk", "busybox-1.25.1/gpt-large.txt", "/dev/mmcblk0p3"},
    {"busybox_1_36_near_miss_names", "gpt-no-safe-names.txt", nullptr},
    {"busybox_1_25_near_miss_names", "busybox-1.25.1/gpt-no-safe-names.txt", nullptr},
    // "safe old", " safe" and "7 safe" are names of their own, in both layouts.
    {"busybox_1_36_longer_names", "gpt-tricky-names.txt", nullptr},
    {"busybox_1_25_longer_names", "busybox-1.25.1/gpt-tricky-names.txt", nullptr},
    {"mbr_has_no_names", "mbr.txt", nullptr},
    {"busybox_without_gpt", "debian-busybox-nogpt-gpt-safe-p4.txt", nullptr},
    {"util_linux_layout", "util-linux-gpt-safe-p4.txt", nullptr},
    {"sgdisk_layout", "sgdisk-p-gpt-safe-ef00.txt", nullptr},
};

class fdisk_listing : public on_board, public testing::WithParamInterface<listing_case> {};

TEST_P(fdisk_listing, finds_the_safe_partition)
{
  const listing_case &c = GetParam();
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2 rootwait\n");
  b.fdisk_prints(read_fixture(std::string("fdisk/") + c.fixture));
  EXPECT_EQ(init_keydev_and_offset(&location), c.keydev != nullptr ? 0 : -1);
  EXPECT_EQ(location.keydev_is_mtd, 0);
  if (c.keydev == nullptr) {
    EXPECT_EQ(location.keydev, nullptr);
  } else {
    ASSERT_NE(location.keydev, nullptr);
    EXPECT_STREQ(location.keydev, c.keydev);
  }
}

NAMED_CASES(fdisk_listing, listing_case, LISTING_CASES);

// The name is the whole rest of the row, as each layout prints it.
struct row_case {
  const char *name;
  std::string rows;
  const char *keydev;
};

const std::string NEW_HEADER = "Number  Start (sector)    End (sector)  Size Name\n";
const std::string OLD_HEADER = "Number  Start (sector)    End (sector)  Size       Code  Name\n";
const std::string NEW_ROW4 = "     4           83968           86015 1024K ";
const std::string OLD_ROW4 = "   4           83968           86015       1024K   0700  ";
// Pushes a row's name to the 128th character, past the line buffer.
const std::string PAD(127 - 4 - NEW_ROW4.size(), ' ');

const row_case ROW_CASES[] = {
    {"exact_name", NEW_HEADER + NEW_ROW4 + "safe\n", "/dev/mmcblk0p4"},
    {"exact_name_with_type_column", OLD_HEADER + OLD_ROW4 + "safe\n", "/dev/mmcblk0p4"},
    {"exact_name_ends_the_listing", NEW_HEADER + NEW_ROW4 + "safe", "/dev/mmcblk0p4"},
    {"second_word", NEW_HEADER + NEW_ROW4 + "safe data\n", nullptr},
    {"second_word_with_type_column", OLD_HEADER + OLD_ROW4 + "safe data\n", nullptr},
    {"trailing_blank", NEW_HEADER + NEW_ROW4 + "safe \n", nullptr},
    {"first_exact_row_after_a_longer_name",
     NEW_HEADER + "     2           18432           20479 1024K safe old\n"
                  "     5           20480           22527 1024K safe\n     6           22528           24575 1024K safe\n",
     "/dev/mmcblk0p5"},
    {"name_cut_by_the_line_buffer", NEW_HEADER + PAD + NEW_ROW4 + "safe" + "keys\n", nullptr},
    {"exact_name_filling_the_line_buffer", NEW_HEADER + PAD + NEW_ROW4 + "safe\n", "/dev/mmcblk0p4"},
    // Each row in its header's layout only.
    {"name_beginning_with_a_number", NEW_HEADER + NEW_ROW4 + "7  safe\n", nullptr},
    {"row_without_type_code_under_a_code_header", OLD_HEADER + NEW_ROW4 + "safe\n", nullptr},
    {"row_before_any_header", NEW_ROW4 + "safe\n" + NEW_HEADER, nullptr},
    {"later_header_changes_the_layout", OLD_HEADER + OLD_ROW4 + "safe data\n" + NEW_HEADER + NEW_ROW4 + "safe\n",
     "/dev/mmcblk0p4"},
    {"rest_of_a_long_name_looks_like_a_row", NEW_HEADER + "     3           51200           53247 1024K " +
                                                 std::string(90, 'x') + "4 83968 86015 1024K safe\n", nullptr},
};

class fdisk_row : public on_board, public testing::WithParamInterface<row_case> {};

TEST_P(fdisk_row, counts_only_the_whole_name_safe)
{
  const row_case &c = GetParam();
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  b.fdisk_prints(c.rows);
  EXPECT_EQ(init_keydev_and_offset(&location), c.keydev != nullptr ? 0 : -1);
  if (c.keydev == nullptr) {
    EXPECT_EQ(location.keydev, nullptr);
  } else {
    EXPECT_STREQ(location.keydev, c.keydev);
  }
}

NAMED_CASES(fdisk_row, row_case, ROW_CASES);

// When the listing names no `safe` partition, the kernel's own record of the
// GPT names decides.
struct sysfs_case {
  const char *name;
  const char *fixture;  // the fdisk listing; nullptr: no fdisk on the board
  std::vector<std::pair<int, const char *>> partitions;  // the disk's partition N and its PARTNAME
  const char *keydev;                                    // pN of the disk, or nullptr
  bool sysfs_read;
};

const sysfs_case SYSFS_CASES[] = {
    {"util_linux_prints_no_names", "util-linux-gpt-safe-p4.txt",
     {{1, "boot"}, {2, "rootfs"}, {3, "data"}, {4, "safe"}}, "p4", true},
    {"busybox_without_gpt", "debian-busybox-nogpt-gpt-safe-p4.txt",
     {{1, "boot"}, {2, "rootfs"}, {3, "data"}, {4, "safe"}}, "p4", true},
    {"no_fdisk_and_a_gap_in_the_numbering", nullptr, {{1, "boot"}, {2, "rootfs"}, {4, "safe"}}, "p4", true},
    {"lowest_number_wins", nullptr, {{12, "safe"}, {3, "safe"}, {20, "safe"}}, "p3", true},
    {"two_digit_number", nullptr, {{1, "boot"}, {12, "safe"}}, "p12", true},
    {"longer_and_other_names", nullptr, {{2, "safe data"}, {3, "Safe"}, {4, "safe2"}, {5, " safe"}}, nullptr, true},
    {"mbr_partitions_have_no_name", "mbr.txt", {{1, nullptr}, {2, nullptr}, {4, nullptr}}, nullptr, true},
    {"fdisk_listing_comes_first", "busybox-1.25.1/gpt-safe-p4.txt", {{2, "safe"}}, "p4", false},
};

class sysfs_names : public on_board, public testing::WithParamInterface<sysfs_case> {};

TEST_P(sysfs_names, find_the_safe_partition_fdisk_does_not_name)
{
  const sysfs_case &c = GetParam();
  b.write("/proc/cmdline", "root=" + BUILD_MMC_DISK + "p2 rootwait\n");
  if (c.fixture != nullptr)
    b.fdisk_prints(read_fixture(std::string("fdisk/") + c.fixture));
  const std::string disk = BUILD_MMC_DISK.substr(strlen("/dev/"));
  for (const auto &partition : c.partitions)
    sysfs_partition(b, disk, partition.first, partition.second);
  // Partitions of other disks never count, nor of a disk whose number only
  // begins with the disk's.
  const std::string other_disk = disk == "mmcblk1" ? "mmcblk2" : "mmcblk1";
  sysfs_partition(b, other_disk, 1, "safe");
  sysfs_partition(b, disk + "0", 1, "safe");
  int result = 0;
  std::string out = captured_output(1, [&] { result = init_keydev_and_offset(&location); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(result, c.keydev != nullptr ? 0 : -1);
  if (c.keydev == nullptr) {
    EXPECT_EQ(location.keydev, nullptr);
  } else {
    EXPECT_STREQ(location.keydev, (BUILD_MMC_DISK + c.keydev).c_str());
  }
  EXPECT_EQ(location.offset, 0u);
  EXPECT_EQ(location.keydev_is_mtd, 0);
  EXPECT_EQ(b.log_lines("popen /sbin/fdisk -l " + BUILD_MMC_DISK).size(), 1u) << b.log();
  EXPECT_EQ(b.log_lines("opendir /sys/class/block").size(), c.sysfs_read ? 1u : 0u) << b.log();
  EXPECT_TRUE(b.log_lines("fopen /sys/class/block/" + other_disk).empty()) << b.log();
}

NAMED_CASES(sysfs_names, sysfs_case, SYSFS_CASES);

TEST_F(on_board, no_sysfs_and_no_named_row_finds_nothing)
{
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  b.fdisk_prints(read_fixture("fdisk/util-linux-gpt-safe-p4.txt"));
  EXPECT_EQ(init_keydev_and_offset(&location), -1);
  EXPECT_EQ(b.log_lines("opendir /sys/class/block -> ENOENT").size(), 1u) << b.log();
}

// lockwarden.disk= names the eMMC disk searched instead of the build's; a
// value that names none (`disk` empty: `words` is that one word) is refused
// and never used; a NAND board never looks at the word.
struct disk_word_case {
  const char *name;
  std::string words;  // on the command line after root=
  std::string disk;
};

const disk_word_case DISK_WORD_CASES[] = {
    {"named", "rootwait lockwarden.disk=" + NAMED_MMC_DISK, NAMED_MMC_DISK},
    {"last_counts_quoted", "lockwarden.disk=/dev/sda \"lockwarden.disk=/dev/mmcblk999\"", "/dev/mmcblk999"},
    {"four_digits", "lockwarden.disk=/dev/mmcblk1000", ""},
    {"leading_zero", "lockwarden.disk=/dev/mmcblk02", ""},
    {"partition", "lockwarden.disk=/dev/mmcblk2p1", ""},
    {"shell_words", "lockwarden.disk=/dev/mmcblk2;reboot", ""},
    {"empty", "lockwarden.disk=", ""},
};

class disk_word : public on_board, public testing::WithParamInterface<disk_word_case> {};

TEST_P(disk_word, names_the_emmc_disk_searched)
{
  const disk_word_case &c = GetParam();
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2 " + c.words + "\n");
  b.fdisk_prints(read_fixture("fdisk/gpt-safe-p4.txt"));
  char disk[MMC_DISK_LEN];
  const std::string out = captured_output(1, [&] { EXPECT_EQ(get_mmc_disk(disk), c.disk.empty() ? -1 : 0); });
  EXPECT_EQ(disk, c.disk);
  EXPECT_EQ(out, c.disk.empty() ? "[ERROR] init_keydev_and_offset: " + c.words + " is not an eMMC disk\n" : "");
  EXPECT_EQ(captured_output(1, [&] { (void)init_keydev_and_offset(&location); }), out);
  EXPECT_STREQ(location.keydev, c.disk.empty() ? nullptr : (c.disk + "p4").c_str());
  EXPECT_EQ(b.log_lines("popen /sbin/fdisk -l " + c.disk).size(), c.disk.empty() ? 0u : 1u) << b.log();
  free_keydev(&location);
  b.write("/proc/cmdline", "root=ubi0:rootfs " + c.words + "\n");
  b.write("/proc/mtd", MTD_HEADER + "mtd3: 00100000 00020000 \"safe\"\n");
  EXPECT_EQ(captured_output(1, [&] { EXPECT_EQ(init_keydev_and_offset(&location), 0); }), "");
}

NAMED_CASES(disk_word, disk_word_case, DISK_WORD_CASES);

// Which device names stand for the keyring's storage.
struct holds_case {
  const char *name;
  const char *keydev;
  const char *device;
  int holds;
};

const holds_case HOLDS_CASES[] = {
    {"same_partition", "/dev/mmcblk0p4", "/dev/mmcblk0p4", 1},
    {"whole_disk", "/dev/mmcblk0p4", "/dev/mmcblk0", 1},
    {"sibling_partition", "/dev/mmcblk0p4", "/dev/mmcblk0p3", 0},
    {"longer_number", "/dev/mmcblk0p4", "/dev/mmcblk0p40", 0},
    {"other_disk", "/dev/mmcblk0p4", "/dev/mmcblk1", 0},
    {"disk_twelve_partition", "/dev/mmcblk12p3", "/dev/mmcblk12", 1},
    {"mtd_block_twin", "/dev/mtd2", "/dev/mtdblock2", 1},
    {"mtd_raw_twin", "/dev/mtdblock2", "/dev/mtd2", 1},
    {"mtd_other_number", "/dev/mtd2", "/dev/mtdblock20", 0},
    {"mtd_prefix_only", "/dev/mtd2", "/dev/mtd", 0},
};

class keyring_names : public on_board, public testing::WithParamInterface<holds_case> {};

TEST_P(keyring_names, stand_for_the_keyring_storage)
{
  const holds_case &c = GetParam();
  set_location(c.keydev, 0, 0);
  EXPECT_EQ(holds_keyring(&location, c.device), c.holds);
}

NAMED_CASES(keyring_names, holds_case, HOLDS_CASES);

TEST_F(on_board, fdisk_rows_with_a_letter_type_code_do_not_match)
{
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  b.fdisk_prints("Number  Start (sector)    End (sector)  Size       Code  Name\n"
                 "   4            2048            4095  2M         EF00  safe\n");
  EXPECT_EQ(init_keydev_and_offset(&location), -1);
}

TEST_F(on_board, missing_or_failing_fdisk_finds_nothing)
{
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  EXPECT_EQ(init_keydev_and_offset(&location), -1);  // no /sbin/fdisk on the board
  b.write("/sbin/fdisk", "#!/bin/sh\necho 'fdisk: cannot open /dev/mmcblk0' >&2\nexit 1\n");
  chmod(b.path("/sbin/fdisk").c_str(), 0755);
  EXPECT_EQ(init_keydev_and_offset(&location), -1);
  EXPECT_EQ(location.keydev, nullptr);
}

struct fwenv_case {
  const char *name;
  std::string config;
  int flag_before;
  const char *keydev;  // expected afterwards
  uint64_t offset;
  int flag;
};

const fwenv_case FWENV_CASES[] = {
    {"one_copy", "/dev/mtd1 0x0 0x20000 0x20000 1\n", 0, "/dev/mtd1", 0x20000, 1},
    {"redundant_copies_second_wins",
     "# device offset size sector-size sectors\n/dev/mtd1 0x0 0x20000 0x20000 1\n/dev/mtd1 0x20000 0x20000 0x20000 1\n",
     0, "/dev/mtd1", 0x40000, 1},
    {"third_copy_never_read", "/dev/mtd1 0 20000\n/dev/mtd2 20000 20000\n/dev/mtd3 80000 20000\n", 0, "/dev/mtd2", 0x40000, 1},
    {"comments_only", "# /dev/mtd1 0x0 0x20000\n#\n", 0, "/dev/mmcblk0p4", 0, 0},
    {"blank_before_hash_is_no_comment", "   #/dev/mtd3 0x1000 0x1000\n", 0, "#/dev/mtd3", 0x2000, 1},
    {"crlf_line_skipped_and_crlf_ending_accepted", "\r\n/dev/mmcblk0 0x400000 0x2000\r\n", 0, "/dev/mmcblk0", 0x402000, 0},
    {"two_fields_rejected", "/dev/mtd1 0x0\n", 0, "/dev/mmcblk0p4", 0, 0},
    {"tabs_separate", "/dev/mmcblk0\t0xc0000\t0x2000\t0x200\t16\n", 0, "/dev/mmcblk0", 0xc2000, 0},
    {"emmc_copy_keeps_the_flag", "/dev/mmcblk0 0x400000 0x2000\n", 1, "/dev/mmcblk0", 0x402000, 1},
    {"mtdblock_sets_the_flag", "/dev/mtdblock1 0x0 0x20000\n", 0, "/dev/mtdblock1", 0x20000, 1},
    {"offset_above_4_gib", "/dev/mmcblk0 0x1FFFFF000 0x2000\n", 0, "/dev/mmcblk0", 0x200001000, 0},
    {"from_the_end_form_skipped", "/dev/mmcblk0 -0x4000 0x2000\n/dev/mtd1 0x0 -0x2000\n", 0, "/dev/mmcblk0p4", 0, 0},
    {"sum_beyond_64_bits_skipped", "/dev/mtd1 0xFFFFFFFFFFFFF000 0x2000\n", 0, "/dev/mmcblk0p4", 0, 0},
    // A line longer than the 127 characters read at once never counts, nor its tail.
    {"long_line_never_counts", "#" + std::string(126, '-') + "/dev/mtd7 0x1000 0x1000\n", 0, "/dev/mmcblk0p4", 0, 0},
    {"line_of_127_characters_counts", "/dev/mtd7 0x1000 0x1000" + std::string(104, ' ') + "\n", 0, "/dev/mtd7", 0x2000, 1},
};

class fw_env_config : public on_board, public testing::WithParamInterface<fwenv_case> {};

TEST_P(fw_env_config, gives_the_location_behind_the_environment)
{
  const fwenv_case &c = GetParam();
  set_location("/dev/mmcblk0p4", 0, c.flag_before);
  b.write("/etc/fw_env.config", c.config);
  keyring_location fallback;
  EXPECT_EQ(get_keydev_and_offset_from_fwenv(&location, &fallback), 0);
  ASSERT_NE(fallback.keydev, nullptr);
  EXPECT_STREQ(fallback.keydev, c.keydev);
  EXPECT_EQ(fallback.offset, c.offset);
  EXPECT_EQ(fallback.keydev_is_mtd, c.flag);
  EXPECT_EQ(fallback.source, KEYRING_FALLBACK);
  // A record of its own: the primary stays where it is.
  EXPECT_STREQ(location.keydev, "/dev/mmcblk0p4");
  EXPECT_EQ(location.offset, 0u);
  free_keydev(&fallback);
}

NAMED_CASES(fw_env_config, fwenv_case, FWENV_CASES);

TEST_F(on_board, missing_fw_env_config_leaves_the_location)
{
  set_location("/dev/mtd2", 0x20000, 1);
  int result = 0;
  keyring_location fallback;
  std::string out = captured_output(1, [&] { result = get_keydev_and_offset_from_fwenv(&location, &fallback); });
  EXPECT_EQ(result, -5);
  EXPECT_EQ(out, "[ERROR] get_keydev_and_offset_from_fwenv: Failed to open /etc/fw_env.config\n");
  EXPECT_STREQ(fallback.keydev, "/dev/mtd2");
  EXPECT_EQ(fallback.offset, 0x20000u);
  free_keydev(&fallback);
}

}  // namespace
