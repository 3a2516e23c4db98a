#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "keyring/keyring_location.h"
#include "support/capture.h"
#include "support/in_process.h"

namespace {

struct cmdline_case {
  const char *name;
  std::string content;  // "<missing>": no /proc/cmdline at all
  int result;
  const char *output;
};

const std::string LONG_PREFIX(250, 'x');

const cmdline_case CMDLINE_CASES[] = {
    {"ubi_root", "console=ttymxc0,115200 root=ubi0:rootfs rootfstype=ubifs\n", 1, ""},
    {"mtdblock_root", "root=/dev/mtdblock3 ro\n", 1, ""},
    {"emmc_root", "console=ttymxc0 root=/dev/mmcblk0p2 rootwait rw\n", 0, ""},
    {"emmc_root_last_with_newline", "rootwait root=/dev/mmcblk0p2\n", 0, ""},
    {"first_root_inside_nfsroot", "nfsroot=10.0.0.1:/srv/mtd root=/dev/mmcblk0p2\n", 1, ""},
    {"value_ends_at_first_space", "root=/dev/mmcblk0p2 ubi.mtd=3\n", 0, ""},
    {"no_root", "console=ttymxc0,115200 rootwait\n", -1, ""},
    {"root_after_255_characters", LONG_PREFIX + " root=ubi0:rootfs\n", -1, ""},
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
    out = captured_output(1, [&] { result = init_keydev_and_offset(); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(keyring_location.keydev, nullptr);
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
  EXPECT_EQ(init_keydev_and_offset(), c.result);
  EXPECT_EQ(keyring_location.keydev_is_mtd, 1);
  if (c.keydev == nullptr) {
    EXPECT_EQ(keyring_location.keydev, nullptr);
  } else {
    ASSERT_NE(keyring_location.keydev, nullptr);
    EXPECT_STREQ(keyring_location.keydev, c.keydev);
    EXPECT_EQ(keyring_location.offset, 0u);
  }
}

NAMED_CASES(mtd_table, table_case, MTD_CASES);

TEST_F(on_board, missing_mtd_table_is_reported)
{
  b.write("/proc/cmdline", "root=ubi0:rootfs\n");
  int result = 0;
  std::string out = captured_output(1, [&] { result = init_keydev_and_offset(); });
  EXPECT_EQ(result, -5);
  EXPECT_EQ(out, "[ERROR] init_keydev_and_offset: Failed to open /proc/mtd\n");
  EXPECT_EQ(keyring_location.keydev, nullptr);
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
    // %ms stops at a blank: "safe old" (row 2) reads as safe in both layouts.
    {"busybox_1_36_first_word_of_name", "gpt-tricky-names.txt", "/dev/mmcblk0p2"},
    {"busybox_1_25_first_word_of_name", "busybox-1.25.1/gpt-tricky-names.txt", "/dev/mmcblk0p2"},
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
  EXPECT_EQ(init_keydev_and_offset(), c.keydev != nullptr ? 0 : -1);
  EXPECT_EQ(keyring_location.keydev_is_mtd, 0);
  if (c.keydev == nullptr) {
    EXPECT_EQ(keyring_location.keydev, nullptr);
  } else {
    ASSERT_NE(keyring_location.keydev, nullptr);
    EXPECT_STREQ(keyring_location.keydev, c.keydev);
  }
}

NAMED_CASES(fdisk_listing, listing_case, LISTING_CASES);

TEST_F(on_board, fdisk_rows_with_a_letter_type_code_do_not_match)
{
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  b.fdisk_prints("Number  Start (sector)    End (sector)  Size       Code  Name\n"
                 "   4            2048            4095  2M         EF00  safe\n");
  EXPECT_EQ(init_keydev_and_offset(), -1);
}

TEST_F(on_board, missing_or_failing_fdisk_finds_nothing)
{
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2\n");
  EXPECT_EQ(init_keydev_and_offset(), -1);  // no /sbin/fdisk on the board
  b.write("/sbin/fdisk", "#!/bin/sh\necho 'fdisk: cannot open /dev/mmcblk0' >&2\nexit 1\n");
  chmod(b.path("/sbin/fdisk").c_str(), 0755);
  EXPECT_EQ(init_keydev_and_offset(), -1);
  EXPECT_EQ(keyring_location.keydev, nullptr);
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
    {"sum_wraps_in_32_bits", "/dev/mtd1 0xFFFFF000 0x2000\n", 0, "/dev/mtd1", 0x1000, 1},
    // A line longer than the 127 characters read at once: its tail is a line of its own.
    {"long_line_read_in_pieces", "#" + std::string(126, '-') + "/dev/mtd7 0x1000 0x1000\n", 0, "/dev/mtd7", 0x2000, 1},
};

class fw_env_config : public on_board, public testing::WithParamInterface<fwenv_case> {};

TEST_P(fw_env_config, gives_the_location_behind_the_environment)
{
  const fwenv_case &c = GetParam();
  set_location("/dev/mmcblk0p4", 0, c.flag_before);
  b.write("/etc/fw_env.config", c.config);
  EXPECT_EQ(get_keydev_and_offset_from_fwenv(), 0);
  ASSERT_NE(keyring_location.keydev, nullptr);
  EXPECT_STREQ(keyring_location.keydev, c.keydev);
  EXPECT_EQ(keyring_location.offset, c.offset);
  EXPECT_EQ(keyring_location.keydev_is_mtd, c.flag);
}

NAMED_CASES(fw_env_config, fwenv_case, FWENV_CASES);

TEST_F(on_board, missing_fw_env_config_leaves_the_location)
{
  set_location("/dev/mtd2", 0x20000, 1);
  int result = 0;
  std::string out = captured_output(1, [&] { result = get_keydev_and_offset_from_fwenv(); });
  EXPECT_EQ(result, -5);
  EXPECT_EQ(out, "[ERROR] get_keydev_and_offset_from_fwenv: Failed to open /etc/fw_env.config\n");
  EXPECT_STREQ(keyring_location.keydev, "/dev/mtd2");
  EXPECT_EQ(keyring_location.offset, 0x20000u);
}

}  // namespace
