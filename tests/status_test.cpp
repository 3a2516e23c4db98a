// SPDX-License-Identifier: MIT
// --status on simulated boards: the exact report and exit status of each
// board state, and that the report writes nothing.
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

const std::string DISK = BUILD_MMC_DISK;
const std::string EMMC = "BOARD=emmc\nDISK=" + DISK + "\nKEYRING=" + DISK + "p4\nKEYRING_OFFSET=0\n";
const std::string OK = "PRIMARY=ok\nFALLBACK=none\n";
const std::string OPENS = "VOLUME=luks2\nKEY_OPENS=yes\nKEYSLOT=0\nKDF=argon2id\nTOKENS=1\n";
const std::string REFUSED = "PRIMARY=refused\nFALLBACK=";
const std::string NO_KEY = "KEY_OPENS=untested\nKEYSLOT=\nKDF=\nTOKENS=\nMAPPED=no\nMAPPED_AS_NAME=no\n";
const std::string REFUSED_BLOB = "the key blob at offset 0 of " + DISK +
                                 "p4 is refused by the key blob device: made on another board, before the "
                                 "secure-boot fuse was set, or damaged (an empty place looks the same)";
// What cryptsetup 2.6.1's dump says of a LUKS2 header, the lines the
// report reads among others.
const std::string LUKS2_DUMP = "LUKS header information\nVersion:       \t2\n\nKeyslots:\n  0: luks2\n"
                               "\tKey:        512 bits\n\tPBKDF:      argon2id\n\tTime cost:  4\nTokens:\n"
                               "  0: luks2-keyring\n\tKey description: k\n\tKeyslot:    0\nDigests:\n  0: pbkdf2\n";

// A LUKS mapping in sysfs: `holders` gets dm-N, a link to the mapping.
void sysfs_holder(const board &b, const std::string &holders, const std::string &name)
{
  std::string up;
  for (char c : holders.substr(1))
    up += c == '/' ? "../" : "";
  const std::string dm = "/sys/devices/virtual/block/dm-0/dm/";
  b.write(dm + "name", name + "\n");
  b.write(dm + "uuid", "CRYPT-LUKS2-5afe00001111422283334444555566660-" + name + "\n");
  ASSERT_TRUE(b.link(holders + "/dm-0", up + "devices/virtual/block/dm-0"));
}

// A blob of this board behind the U-Boot environment, and one of another
// board in the `safe` partition.
void fallback_copy(const board &b)
{
  std::string disk(0x404000, '\0');
  disk.replace(0x402000, 80, b.read(DISK + "p4").substr(0, 80));
  b.write("/dev/mmcblk0", disk);
  b.write("/etc/fw_env.config", "/dev/mmcblk0 0x400000 0x2000\n");
  b.write("/dev/caam_kb", "secret another-board\n");
  ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
  b.write("/dev/caam_kb", "secret board-a\n");
}

struct status_case {
  const char *name;
  void (*prepare)(const board &);
  std::vector<std::string> args;  // after --status; <image>: an image file on the board
  std::string out;                // without REASON
  std::string reason;
  int status;
  bool nand = false;  // else eMMC
};

const status_case STATUS_CASES[] = {
    {"nand_primary_past_a_bad_block", nullptr, {},
     "BOARD=nand\nDISK=\nKEYRING=/dev/mtd2\nKEYRING_OFFSET=131072\n" + OK, "", 0, true},
    {"key_opens_the_volume", nullptr, {"/dev/mmcblk0p3", "cryptdata"},
     EMMC + OK + OPENS + "MAPPED=no\nMAPPED_AS_NAME=no\n", "", 0},
    {"mapped_under_the_name",
     [](const board &b) {
       sysfs_partition(b, "mmcblk0", 3, nullptr);
       sysfs_holder(b, "/sys/dev/block/179:3/holders", "cryptdata");
     },
     {"/dev/mmcblk0p3", "cryptdata"}, EMMC + OK + OPENS + "MAPPED=cryptdata\nMAPPED_AS_NAME=yes\n", "", 0},
    {"image_mapped_through_its_loop_device_under_another_name",
     [](const board &b) {
       b.write("/sys/block/loop0/loop/backing_file", b.path("/d.img") + "\n");
       sysfs_holder(b, "/sys/block/loop0/holders", "cryptdata");
     },
     {"<image>"}, EMMC + OK + OPENS + "MAPPED=cryptdata\n", "", 0},
    {"only_the_copy_behind_the_environment_opens", fallback_copy, {"/dev/mmcblk0p3"},
     EMMC + REFUSED + "ok\n" + OPENS + "MAPPED=no\n",
     REFUSED_BLOB + "; an open uses the copy at offset 4202496 of /dev/mmcblk0 behind the U-Boot environment", 2},
    {"refused_and_the_copy_too",
     [](const board &b) {
       fallback_copy(b);
       b.write("/dev/caam_kb", "secret a-third-board\n");
     },
     {}, EMMC + REFUSED + "refused\n",
     REFUSED_BLOB + ", and so is the copy at offset 4202496 of /dev/mmcblk0 behind the U-Boot environment", 255},
    {"refused_without_a_copy", [](const board &b) { b.write("/dev/caam_kb", "secret another-board\n"); }, {},
     EMMC + REFUSED + "none\n",
     REFUSED_BLOB + ", and /etc/fw_env.config names no copy behind the U-Boot environment", 255},
    {"unreadable_primary", [](const board &b) { b.image(DISK + "p4", 50, 0); }, {},
     EMMC + "PRIMARY=unreadable\nFALLBACK=none\n", "cannot read the key blob at offset 0 of " + DISK + "p4", 255},
    {"no_key_blob_device", [](const board &b) { b.remove("/dev/caam_kb"); }, {},
     EMMC + "PRIMARY=unknown\nFALLBACK=none\n", "cannot open the key blob device /dev/caam_kb", 255},
    {"a_fuse_file_missing", [](const board &b) { b.remove("/sys/fsl_otp/HW_OCOTP_MAC1"); }, {},
     EMMC + "PRIMARY=unknown\nFALLBACK=none\n", "cannot read the fuse word file /sys/fsl_otp/HW_OCOTP_MAC1", 255},
    {"no_safe_partition", [](const board &b) { b.fdisk_prints(read_fixture("fdisk/mbr.txt")); }, {},
     "BOARD=emmc\nDISK=" + DISK + "\nKEYRING=\nKEYRING_OFFSET=\nPRIMARY=unknown\nFALLBACK=none\n",
     "no partition named safe on " + DISK + ": neither in the listing of /sbin/fdisk -l " + DISK +
         " nor as PARTNAME=safe in /sys/class/block",
     255},
    {"disk_the_command_line_names",
     [](const board &b) {
       b.write(NAMED_MMC_DISK + "p4", b.read(DISK + "p4"));
       b.write("/proc/cmdline", "root=/dev/mmcblk0p2 lockwarden.disk=" + NAMED_MMC_DISK + "\n");
     },
     {}, "BOARD=emmc\nDISK=" + NAMED_MMC_DISK + "\nKEYRING=" + NAMED_MMC_DISK + "p4\nKEYRING_OFFSET=0\n" + OK, "", 0},
    {"disk_word_names_no_emmc_disk",
     [](const board &b) { b.write("/proc/cmdline", "root=/dev/mmcblk0p2 lockwarden.disk=/dev/sda\n"); }, {},
     "BOARD=emmc\nDISK=\nKEYRING=\nKEYRING_OFFSET=\nPRIMARY=unknown\nFALLBACK=none\n",
     "the lockwarden.disk= word of the kernel command line /proc/cmdline names no eMMC disk: /dev/mmcblk and a "
     "number of at most three digits without leading zeros",
     255},
    {"no_root_word", [](const board &b) { b.write("/proc/cmdline", "console=ttymxc0\n"); }, {},
     "BOARD=unknown\nDISK=\nKEYRING=\nKEYRING_OFFSET=\nPRIMARY=unknown\nFALLBACK=none\n",
     "the kernel command line /proc/cmdline has no root= word, which tells a NAND board from an eMMC board", 255},
    {"another_key", [](const board &b) { cryptsetup_behaves(b, "test", "exit 2"); }, {"/dev/mmcblk0p3", "c"},
     EMMC + OK + "VOLUME=luks2\nKEY_OPENS=no\nKEYSLOT=\nKDF=\nTOKENS=1\nMAPPED=no\nMAPPED_AS_NAME=no\n",
     "the volume's header does not take the stored key: no keyslot of /dev/mmcblk0p3 opens with the key blob at "
     "offset 0 of " + DISK + "p4",
     255},
    {"not_luks",
     [](const board &b) {
       b.image("/dev/mmcblk0p3", 4096, 0);
       cryptsetup_behaves(b, "isLuks", "exit 1");
     },
     {"/dev/mmcblk0p3", "c"}, EMMC + OK + "VOLUME=none\n" + NO_KEY, "/dev/mmcblk0p3 holds no LUKS header", 255},
    {"volume_missing", [](const board &b) { b.remove("/dev/mmcblk0p3"); }, {"/dev/mmcblk0p3", "c"},
     EMMC + OK + "VOLUME=missing\n" + NO_KEY, "/dev/mmcblk0p3 does not exist", 255},
    {"device_the_command_line_refuses", nullptr, {"/dev/it's", "c"}, EMMC + OK + "VOLUME=missing\n" + NO_KEY,
     "/dev/it's cannot go on cryptsetup's command line: a device path and a mapped name take letters, digits and "
     "/._+:@,=- only, no leading -, at most 4095 and 127 bytes",
     255},
};

// The shell's own quoting of a REASON: single quotes, ' as '\''.
std::string quoted(const std::string &text)
{
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string flash_and_volumes(const board &b)
{
  return b.read("/dev/mtd2") + b.read(DISK + "p4") + b.read("/dev/mmcblk0") + b.read("/dev/mmcblk0p3") +
         b.read("/d.img");
}

class status_report : public testing::TestWithParam<status_case> {};

TEST_P(status_report, says_whether_the_next_open_succeeds_and_writes_nothing)
{
  const status_case &c = GetParam();
  board b;
  if (c.nand)
    make_nand_board(b, "bad 0\n");
  else
    make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.write("/dev/mmcblk0p3", "LUKS\xba\xbe");
  b.write("/d.img", "LUKS\xba\xbe");
  b.write("/fake/dump", LUKS2_DUMP);
  if (c.prepare != nullptr)
    c.prepare(b);
  b.clear_log();
  cryptsetup_forget(b);
  const std::string before = flash_and_volumes(b);
  std::vector<std::string> args = {"--status"};
  for (const std::string &arg : c.args)
    args.push_back(arg == "<image>" ? b.path("/d.img") : arg);

  program_result r = run_on_board(b, args);
  // None of these volumes has the lifecycle's tokens.
  const std::string lifecycle = c.args.empty() ? "" : "RECOVERY=no\nBOARD_KEYSLOT=\nSTRAY_KEYSLOTS=\n";
  EXPECT_EQ(r.out, c.out + lifecycle + (c.reason.empty() ? "" : "REASON=" + quoted(c.reason) + "\n")) << r.err;
  EXPECT_EQ(r.status, c.status);
  if (c.out.find("KEY_OPENS=yes") != std::string::npos) {
    EXPECT_EQ(hex(cryptsetup_input(b, 3)), hex(key_00_to_1f()));
  }
  b.write("/report", r.out);
  EXPECT_EQ(run_shell(". " + b.path("/report") + " && printf %s \"$REASON\"").out, c.reason);

  EXPECT_EQ(flash_and_volumes(b), before);
  EXPECT_TRUE(b.log_lines("caam ENCRYPT").empty()) << b.log();
  EXPECT_EQ(b.log().find("LOCK_EX"), std::string::npos) << b.log();
  for (const std::string &call : cryptsetup_calls(b))
    EXPECT_TRUE(call.rfind("isLuks ", 0) == 0 || call.rfind("luksDump ", 0) == 0 ||
                call.find("--test-passphrase") != std::string::npos)
        << call;
  expect_no_leak(b);
}

NAMED_CASES(status_report, status_case, STATUS_CASES);

}  // namespace
