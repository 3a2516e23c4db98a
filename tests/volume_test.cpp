// SPDX-License-Identifier: MIT
// The volume commands end to end: which cryptsetup children start, in what
// order, with exactly which bytes on their standard input.
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

// A board that has a stored key.
void provision(const board &b)
{
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.clear_log();
}

TEST(volume, open_checks_luks_then_pipes_exactly_the_key)
{
  board b;
  provision(b);
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cryptsetup_calls(b),
            (std::vector<std::string>{"isLuks /dev/mmcblk0p3", "-d - open --type luks /dev/mmcblk0p3 cryptroot"}));
  EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f());
  expect_no_leak(b);

  // A new key for the volume is first tried on it, on the test's input.
  cryptsetup_forget(b);
  r = run_on_board(b, {"-n" + OTHER_KEY_TEXT, "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cryptsetup_calls(b), (std::vector<std::string>{
                                     "isLuks /dev/mmcblk0p3",
                                     "--test-passphrase --token-type lockwarden-no-token -d - open --type luks /dev/mmcblk0p3",
                                     "isLuks /dev/mmcblk0p3", "-d - open --type luks /dev/mmcblk0p3 cryptroot"}));
  EXPECT_EQ(cryptsetup_input(b, 2), key_20_to_3f());
  EXPECT_EQ(cryptsetup_input(b, 4), key_20_to_3f());
}

struct order_case {
  const char *name;
  std::vector<std::string> args;
  bool new_key;
  std::string format_options = FORMAT_OPTIONS;
};

const order_case ORDER_CASES[] = {
    {"format_first", {"-f", "/dev/mmcblk0p3", "cryptroot"}, false},
    {"options_after_arguments", {"/dev/mmcblk0p3", "cryptroot", "-f"}, false},
    {"long_option", {"--format", "/dev/mmcblk0p3", "cryptroot"}, false},
    {"new_key_format_and_open_in_one_run", {"-f", "-n" + KEY_TEXT, "/dev/mmcblk0p3", "cryptroot"}, true},
    // The key derivation of the run, whatever the build's.
    {"kdf_minimal", {"-f", "--kdf=minimal", "/dev/mmcblk0p3", "cryptroot"}, false, MINIMAL_KDF_OPTIONS},
    {"new_key_kdf_default", {"-n" + KEY_TEXT, "--kdf", "default", "-f", "/dev/mmcblk0p3", "cryptroot"}, true,
     DEFAULT_KDF_OPTIONS},
};

class format_and_open : public testing::TestWithParam<order_case> {};

TEST_P(format_and_open, start_luksformat_isluks_open_each_with_the_key)
{
  const order_case &c = GetParam();
  board b;
  if (c.new_key)
    make_emmc_board(b);
  else
    provision(b);
  program_result r = run_on_board(b, c.args);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cryptsetup_calls(b), (std::vector<std::string>{
                                     c.format_options + " -d - luksFormat /dev/mmcblk0p3",
                                     "isLuks /dev/mmcblk0p3",
                                     "-d - open --type luks /dev/mmcblk0p3 cryptroot",
                                 }));
  EXPECT_EQ(cryptsetup_input(b, 1), key_00_to_1f());
  EXPECT_EQ(cryptsetup_input(b, 3), key_00_to_1f());
  // Recovered for each of the two; a new key is formatted with as made.
  EXPECT_EQ(b.log_lines("caam DECRYPT").size(), c.new_key ? 3u : 2u) << b.log();
  expect_no_leak(b);
}

NAMED_CASES(format_and_open, order_case, ORDER_CASES);

struct child_case {
  const char *name;
  const char *command;    // whose behaviour is set
  const char *behaviour;  // see tests/fake/cryptsetup
  std::vector<std::string> args;
  std::string out;
  size_t calls;
  std::string volume;  // what /dev/mmcblk0p3 holds; empty: there is none
};

const std::string NOT_LUKS = "[ERROR] cryptsetup_open: /dev/mmcblk0p3 not initialized\n[ERROR] main: open partition\n";
const std::string CANNOT_CHECK = "[ERROR] cryptsetup_open: cannot check /dev/mmcblk0p3\n[ERROR] main: open partition\n";
const std::string LUKS_MAGIC("LUKS\xba\xbe", 6);

const child_case CHILD_CASES[] = {
    {"not_luks", "isLuks", "exit 1", {"/dev/mmcblk0p3", "cryptroot"}, NOT_LUKS, 1, std::string(4096, '\0')},
    {"shorter_than_the_magic", "isLuks", "exit 1", {"/dev/mmcblk0p3", "cryptroot"}, NOT_LUKS, 1, "LUKS\xba"},
    // Only a device known to hold no header invites -f, which would wipe it.
    {"magic_that_isluks_cannot_read", "isLuks", "exit 1", {"/dev/mmcblk0p3", "cryptroot"}, CANNOT_CHECK, 1,
     LUKS_MAGIC + std::string(4090, '\0')},
    {"unreadable_device", "isLuks", "exit 1", {"/dev/mmcblk0p3", "cryptroot"}, CANNOT_CHECK, 1, ""},
    {"missing_device_status_4", "isLuks", "exit 4", {"/dev/mmcblk0p3", "cryptroot"}, CANNOT_CHECK, 1, ""},
    {"isluks_killed", "isLuks", "signal", {"/dev/mmcblk0p3", "cryptroot"}, CANNOT_CHECK, 1, ""},
    {"open_rejects_the_key", "open", "exit 2", {"/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] main: open partition\n", 2, ""},
    {"open_killed_by_a_signal", "open", "signal", {"/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] main: open partition\n", 2, ""},
    {"format_fails_so_no_open", "luksFormat", "exit 1", {"-f", "/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] main: format partition\n", 1, ""},
    // A new key is stored only once the volume is formatted with it.
    {"format_fails_so_the_new_key_is_not_stored", "luksFormat", "exit 4", {"-n", "-f", "/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] main: format partition\n", 1, ""},
    // A new key that would leave the volume without a key is not stored.
    {"new_key_does_not_open_the_volume", "test", "exit 2", {"-n", "/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] generate_key: new key does not open /dev/mmcblk0p3\n[ERROR] main: generate key\n", 2, ""},
    {"key_test_killed", "test", "signal", {"-n", "/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] generate_key: cannot test key on /dev/mmcblk0p3\n[ERROR] main: generate key\n", 2, ""},
    {"volume_not_checked", "isLuks", "exit 4", {"-n", "/dev/mmcblk0p3", "cryptroot"},
     "[ERROR] generate_key: cannot check /dev/mmcblk0p3\n[ERROR] main: generate key\n", 1, ""},
};

class child_fails : public testing::TestWithParam<child_case> {};

TEST_P(child_fails, with_status_255_and_its_lines)
{
  const child_case &c = GetParam();
  board b;
  provision(b);
  if (!c.volume.empty())
    b.write("/dev/mmcblk0p3", c.volume);
  const std::string keyring = b.read("/dev/mmcblk0p4");
  cryptsetup_behaves(b, c.command, c.behaviour);
  program_result r = run_on_board(b, c.args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(cryptsetup_calls(b).size(), c.calls);
  // Only -n -f makes its key before the child that fails.
  EXPECT_EQ(b.log_lines("caam ENCRYPT").size(), c.args[1] == "-f" ? 1u : 0u) << b.log();
  EXPECT_TRUE(b.log_lines("open /dev/mmcblk0p4 O_RDWR").empty()) << b.log();
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), keyring);
  expect_no_leak(b);
}

NAMED_CASES(child_fails, child_case, CHILD_CASES);

TEST(volume, not_luks_recovers_no_key)
{
  board b;
  provision(b);
  b.image("/dev/mmcblk0p3", 4096, 0);
  cryptsetup_behaves(b, "isLuks", "exit 1");
  b.write("/proc/cmdline", "root=/dev/mmcblk0p2 lockwarden.disk=/dev/sda\n");  // nor is the keyring looked for
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, NOT_LUKS);
  EXPECT_TRUE(b.log_lines("caam").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("open /dev/mmcblk0p4").empty()) << b.log();
}

TEST(volume, cryptsetup_missing_from_the_path_is_no_answer)
{
  board b;
  provision(b);
  b.image("/dev/mmcblk0p3", 4096, 0);
  program_result r = run_tool({{"/dev/mmcblk0p3", "cryptroot"}, b.root, "/nonexistent", {}, ""});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, CANNOT_CHECK);
  EXPECT_TRUE(b.log_lines("caam").empty()) << b.log();
}

TEST(volume, key_recovery_failure_starts_no_keyed_child)
{
  board b;
  make_emmc_board(b);  // no key stored: the keyring holds zeros
  b.write("/etc/fw_env.config", "/dev/mmcblk0p4 0x0 0x100\n");
  program_result r = run_on_board(b, {"-f", "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_format: recover key\n"
                   "[ERROR] main: format partition\n");
  EXPECT_TRUE(cryptsetup_calls(b).empty());
}

// A new volume gets the key of the primary location only. An older blob of
// the same board behind the U-Boot environment opens an old volume, but
// formatting with it would give a volume the next boot cannot open.
struct primary_case {
  const char *name;
  const char *caam;  // key blob device configuration during the run
  bool fallback_holds_the_key;
};

const primary_case PRIMARY_CASES[] = {
    {"primary_erased_key_behind_environment", "secret board-a\n", true},
    {"decrypt_fails_with_eio", "secret board-a\nfail_decrypt\n", false},
};

class format_key : public testing::TestWithParam<primary_case> {};

TEST_P(format_key, comes_from_the_primary_location_only)
{
  const primary_case &c = GetParam();
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  const std::string blob = b.read("/dev/mmcblk0p4").substr(0, 80);
  std::string disk(0x500000, '\0');
  disk.replace(0x402000, 80, blob);
  b.write("/dev/mmcblk0", disk);
  b.write("/etc/fw_env.config", "/dev/mmcblk0 0x400000 0x2000\n");
  if (c.fallback_holds_the_key)
    b.image("/dev/mmcblk0p4", 1024 * 1024, 0);
  b.write("/dev/caam_kb", c.caam);
  b.clear_log();
  program_result r = run_on_board(b, {"-f", "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_format: recover key\n"
                   "[ERROR] main: format partition\n");
  EXPECT_TRUE(cryptsetup_calls(b).empty());
  EXPECT_EQ(b.log_lines("caam DECRYPT").size(), 1u) << b.log();
  EXPECT_TRUE(b.log_lines("fopen /etc/fw_env.config").empty()) << b.log();

  // Control: opening still falls back, and finds the key where it is.
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, c.fallback_holds_the_key ? 0 : 255) << r.out;
  EXPECT_EQ(b.log_lines("fopen /etc/fw_env.config").size(), 1u) << b.log();
  if (c.fallback_holds_the_key) {
    EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f());
  }
}

NAMED_CASES(format_key, primary_case, PRIMARY_CASES);

// Arguments go unquoted into a root shell's command line.
struct argument_case {
  const char *name;
  std::vector<std::string> args;
  std::string out;
};

// Room for a path of PATH_MAX less its NUL and a device-mapper name of
// DM_NAME_LEN less its NUL.
std::string long_device(size_t length) { return "/dev/disk/by-partlabel/" + std::string(length - 23, 'x'); }
const std::string DEVICE_4096 = long_device(4096);
const std::string NAME_128(128, 'c');
const argument_case ARGUMENT_CASES[] = {
    {"shell_metacharacter_in_name", {"/dev/mmcblk0p3", "x;reboot"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"command_substitution_in_device", {"/dev/$(reboot)", "cryptroot"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"blank_in_name", {"/dev/mmcblk0p3", "crypt root"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"name_read_as_an_option", {"--", "/dev/mmcblk0p3", "--help"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"empty_name", {"/dev/mmcblk0p3", ""},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"unsafe_device_for_format", {"-f", "/dev/mmcblk0p3|x", "cryptroot"},
     "[ERROR] cryptsetup_format: unsafe argument\n[ERROR] main: format partition\n"},
    {"open_device_too_long", {DEVICE_4096, "cryptroot"},
     "[ERROR] cryptsetup_open: command too long\n[ERROR] main: open partition\n"},
    {"open_name_too_long", {"/dev/mmcblk0p3", NAME_128},
     "[ERROR] cryptsetup_open: command too long\n[ERROR] main: open partition\n"},
    {"format_device_too_long", {"-f", DEVICE_4096, "c"},
     "[ERROR] cryptsetup_format: command too long\n[ERROR] main: format partition\n"},
    {"unsafe_is_checked_before_length", {DEVICE_4096, "a;b"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    // The whole command line is checked before the first step: nothing is
    // formatted, stored or looked up for a name the open would refuse.
    {"format_not_run_for_an_unsafe_name", {"-f", "/dev/mmcblk0p3", "a|b"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"new_key_not_stored_for_an_unsafe_device", {"-n", "-f", "/dev/x|y", "cryptroot"},
     "[ERROR] cryptsetup_format: unsafe argument\n[ERROR] main: format partition\n"},
    {"new_key_not_stored_for_an_open_too_long", {"-n" + KEY_TEXT, "/dev/mmcblk0p3", NAME_128},
     "[ERROR] cryptsetup_open: command too long\n[ERROR] main: open partition\n"},
    {"refusal_comes_before_the_key_text_check", {"--newkey=BADTEXT", "-f", "/dev/mmcblk0p3", "a|b"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: open partition\n"},
    {"format_command_is_checked_before_open", {"-n", "-f", DEVICE_4096, "a;b"},
     "[ERROR] cryptsetup_format: command too long\n[ERROR] main: format partition\n"},
    {"rebind_device_too_long", {"--rebind", DEVICE_4096, "c"},
     "[ERROR] cryptsetup_open: command too long\n[ERROR] main: rebind partition\n"},
    {"rotate_unsafe_name", {"--rotate", "/dev/mmcblk0p3", "a|b"},
     "[ERROR] cryptsetup_open: unsafe argument\n[ERROR] main: rotate key\n"},
};

class refused_arguments : public testing::TestWithParam<argument_case> {};

TEST_P(refused_arguments, start_no_child_and_recover_no_key)
{
  const argument_case &c = GetParam();
  board b;
  provision(b);
  const std::string keyring = b.read("/dev/mmcblk0p4");
  program_result r = run_on_board(b, c.args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(cryptsetup_calls(b).empty());
  // Not a file, fuse, command (fdisk) or device was touched: the log holds
  // only the simulator's exit record.
  EXPECT_EQ(b.log_lines("").size(), b.log_lines("exit cmdline").size()) << b.log();
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), keyring);
}

NAMED_CASES(refused_arguments, argument_case, ARGUMENT_CASES);

// The keyring partition (or another name of its storage) is never formatted:
// that would destroy the only blob of the key the volume is formatted with.
struct keyring_format_case {
  const char *name;
  bool nand;
  std::string device;  // "<link>": a symbolic link to the keyring image
  bool refused;
  std::string new_key;  // an -n option in the same run, or empty
  bool named_disk = false;  // the board names its eMMC disk, NAMED_MMC_DISK
};

const keyring_format_case KEYRING_FORMAT_CASES[] = {
    {"emmc_keyring_partition", false, LOCKWARDEN_MMC_DISK "p4", true, ""},
    {"emmc_whole_disk", false, LOCKWARDEN_MMC_DISK, true, ""},
    {"emmc_same_file_by_another_name", false, "<link>", true, ""},
    {"emmc_other_partition", false, LOCKWARDEN_MMC_DISK "p3", false, ""},
    {"emmc_partition_40_is_not_4", false, LOCKWARDEN_MMC_DISK "p40", false, ""},
    {"nand_keyring_device", true, "/dev/mtd2", true, ""},
    {"nand_block_twin", true, "/dev/mtdblock2", true, ""},
    {"nand_other_partition", true, "/dev/mtdblock3", false, ""},
    {"nand_mtd20_is_not_mtd2", true, "/dev/mtd20", false, ""},
    // Refused before a key is made: nothing is stored, a bad key text is not
    // even looked at.
    {"emmc_keyring_with_a_new_key", false, LOCKWARDEN_MMC_DISK "p4", true, "-n"},
    {"nand_keyring_with_a_bad_key_text", true, "/dev/mtd2", true, "-nBAD"},
    // The disk the board names (lockwarden.disk=) holds the keyring.
    {"named_disk_whole", false, NAMED_MMC_DISK, true, "", true},
    {"named_disk_other_partition", false, NAMED_MMC_DISK + "p3", false, "", true},
};

class keyring_format : public testing::TestWithParam<keyring_format_case> {};

TEST_P(keyring_format, is_refused_before_the_key_is_recovered)
{
  const keyring_format_case &c = GetParam();
  board b;
  if (c.nand)
    make_nand_board(b);
  else
    make_emmc_board(b);
  const std::string disk = c.named_disk ? NAMED_MMC_DISK : BUILD_MMC_DISK;
  if (c.named_disk) {
    b.write("/proc/cmdline", "root=" + disk + "p2 lockwarden.disk=" + disk + "\n");
    b.image(disk + "p4", 1024 * 1024, 0);
  }
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  const std::string keyring_path = c.nand ? "/dev/mtd2" : disk + "p4";
  std::string device = c.device;
  if (device == "<link>") {
    device = b.path("/k");
    ASSERT_EQ(symlink(b.path(keyring_path).c_str(), device.c_str()), 0);
  }
  const std::string keyring = b.read(keyring_path);
  b.clear_log();
  program_result r = c.new_key.empty() ? run_on_board(b, {"-f", device, "cryptdata"})
                                      : run_on_board(b, {c.new_key, "-f", device, "cryptdata"});
  EXPECT_EQ(b.log_lines("popen /sbin/fdisk -l " + disk).size(), c.nand ? 0u : 1u) << b.log();
  if (!c.refused) {
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(cryptsetup_calls(b).front(), FORMAT_OPTIONS + " -d - luksFormat " + device);
    return;
  }
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] cryptsetup_format: partition holds the key blob\n[ERROR] main: format partition\n");
  EXPECT_TRUE(cryptsetup_calls(b).empty());
  EXPECT_TRUE(b.log_lines("caam").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("open " + keyring_path).empty()) << b.log();
  EXPECT_EQ(b.read(keyring_path), keyring);
}

NAMED_CASES(keyring_format, keyring_format_case, KEYRING_FORMAT_CASES);

TEST(volume, longest_lines_that_fit_are_run_whole)
{
  board b;
  provision(b);
  const std::string device = long_device(4095);
  const std::string name(127, 'c');
  program_result r = run_on_board(b, {"-f", device, name});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cryptsetup_calls(b).front(), FORMAT_OPTIONS + " -d - luksFormat " + device);
  EXPECT_EQ(cryptsetup_calls(b).back(), "-d - open --type luks " + device + " " + name);
  r = run_on_board(b, {"-n", device, name});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cryptsetup_calls(b).at(4), "--test-passphrase --token-type lockwarden-no-token -d - open --type luks " + device);
}

TEST(volume, child_that_quits_unread_is_a_failed_write_not_a_dead_program)
{
  board b;
  provision(b);
  cryptsetup_behaves(b, "open", "noread");
  b.write("/faults", "pipe_wait_reader_gone\n");
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] cryptsetup_open: write key\n[ERROR] main: open partition\n");
  EXPECT_EQ(r.err, std::string("complete_write: Broken pipe\n"));
  // A key test that did not get the whole key tells nothing about it.
  cryptsetup_behaves(b, "test", "noread");
  r = run_on_board(b, {"-n", "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] generate_key: cannot test key on /dev/mmcblk0p3\n[ERROR] main: generate key\n");
}

TEST(volume, children_keep_the_default_sigpipe_disposition)
{
  board b;
  provision(b);
  ASSERT_EQ(run_on_board(b, {"-f", "/dev/mmcblk0p3", "cryptroot"}).status, 0);
  for (int n = 1; n <= 3; n++) {
    unsigned long long ignored = std::stoull(b.read("/fake/sigign." + std::to_string(n)), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (13 - 1)), 0u) << "child " << n << " ignores SIGPIPE";
  }
}

TEST(volume, key_reaches_the_child_whole_through_interrupted_and_short_writes)
{
  for (const char *fault : {"pipe_eintr\n", "pipe_short\n"}) {
    board b;
    provision(b);
    b.write("/faults", fault);
    program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
    EXPECT_EQ(r.status, 0) << fault << r.out;
    EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f()) << fault;
  }
}

}  // namespace
