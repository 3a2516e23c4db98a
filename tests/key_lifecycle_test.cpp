// SPDX-License-Identifier: MIT
// The program end to end on simulated boards: -n stores a key blob, a later
// run recovers the key and hands it to (a recording fake) cryptsetup.
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {


void reset_fake(const board &b)
{
  for (const char *name : {"/fake/calls", "/fake/count", "/fake/stdin.1", "/fake/stdin.2", "/fake/stdin.3"})
    b.remove(name);
}

// Opens a volume with the stored key; returns the key cryptsetup was given.
std::string recovered_key(const board &b)
{
  reset_fake(b);
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  return cryptsetup_input(b, 2);
}

size_t count_lines(const board &b, const std::string &prefix) { return b.log_lines(prefix).size(); }


TEST(key_generation, random_keys_differ_and_are_recovered_on_emmc)
{
  board b;
  make_emmc_board(b);
  program_result r = run_on_board(b, {"-n"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  std::string first_blob = b.read("/dev/mmcblk0p4").substr(0, 80);
  EXPECT_NE(first_blob, std::string(80, '\0'));
  EXPECT_EQ(b.read("/dev/mmcblk0p4").substr(80), std::string(1024 * 1024 - 80, '\0'));
  EXPECT_EQ(count_lines(b, "caam ENCRYPT 32 80 16"), 1u) << b.log();
  std::string first_key = recovered_key(b);
  EXPECT_EQ(first_key.size(), 32u);

  ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
  EXPECT_NE(b.read("/dev/mmcblk0p4").substr(0, 80), first_blob);
  std::string second_key = recovered_key(b);
  EXPECT_EQ(second_key.size(), 32u);
  EXPECT_NE(second_key, first_key);
  expect_no_leak(b);
}

TEST(key_generation, given_key_text_is_the_key_on_nand)
{
  board b;
  make_nand_board(b);
  program_result r = run_on_board(b, {"--newkey=" + KEY_TEXT});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  std::string flash = b.read("/dev/mtd2");
  EXPECT_EQ(flash.substr(80, NAND_PAGE_SIZE - 80), std::string(NAND_PAGE_SIZE - 80, '\0'));
  EXPECT_EQ(flash.substr(NAND_PAGE_SIZE, NAND_ERASE_SIZE - NAND_PAGE_SIZE),
            std::string(NAND_ERASE_SIZE - NAND_PAGE_SIZE, '\xff'));
  EXPECT_EQ(recovered_key(b), key_00_to_1f());
  expect_no_leak(b);
}

struct text_case {
  const char *name;
  std::string option;
  std::string key;
};

const text_case TEXT_CASES[] = {
    {"short_option_attached", "-n" + KEY_TEXT, key_00_to_1f()},
    // '8' and '9' differ only in the two bits past the 32 bytes.
    {"spare_bits_of_the_43rd_character", "--newkey=" + KEY_TEXT.substr(0, 42) + "9=", key_00_to_1f()},
    // Texts kept from before the characters were checked, rewritten as the
    // upgrade note says, still give their old keys: a foreign character was 63
    // ('/'), an inner '=' was 62 ('+').
    {"upgraded_foreign_characters", "--newkey=" + std::string(43, '/') + "=", std::string(32, '\xff')},
    {"upgraded_padding_inside", "--newkey=" + std::string(43, '+') + "=", std::string(
         "\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe"
         "\xfb\xef\xbe\xfb\xef\xbe\xfb\xef", 32)},
};

class key_text : public testing::TestWithParam<text_case> {};

TEST_P(key_text, gives_its_first_32_decoded_bytes)
{
  const text_case &c = GetParam();
  board b;
  make_emmc_board(b);
  program_result r = run_on_board(b, {c.option});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(hex(recovered_key(b)), hex(c.key));
  expect_no_leak(b);
  // The text no longer stands in the process's arguments at exit.
  for (const std::string &line : b.log_lines("exit cmdline"))
    EXPECT_EQ(line.find(hex(c.option.substr(c.option.size() - 44))), std::string::npos) << line;
  EXPECT_FALSE(b.log_lines("exit cmdline").empty()) << b.log();
}

NAMED_CASES(key_text, text_case, TEXT_CASES);

struct failure_case {
  const char *name;
  std::vector<std::string> args;
  void (*break_board)(const board &);
  std::string out;
  std::string err;
};

const failure_case GENERATION_FAILURES[] = {
    {"text_of_43", {"--newkey=" + KEY_TEXT.substr(0, 43)}, nullptr,
     "[ERROR] generate_key: base64 key length\n[ERROR] main: generate key\n", ""},
    {"text_of_45", {"--newkey=" + KEY_TEXT + "A"}, nullptr,
     "[ERROR] generate_key: base64 key length\n[ERROR] main: generate key\n", ""},
    {"foreign_characters", {"--newkey=" + std::string(43, '*') + "="}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    {"padding_inside", {"--newkey=" + std::string(44, '=')}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    {"last_character_not_padding", {"--newkey=" + KEY_TEXT.substr(0, 43) + "A"}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    {"one_mistyped_character", {"--newkey=" + KEY_TEXT.substr(0, 10) + "." + KEY_TEXT.substr(11)}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    {"url_safe_alphabet", {"--newkey=" + KEY_TEXT.substr(0, 10) + "-_" + KEY_TEXT.substr(12)}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    {"blank_before_the_padding", {"--newkey=" + KEY_TEXT.substr(0, 42) + " ="}, nullptr,
     "[ERROR] generate_key: base64 key characters\n[ERROR] main: generate key\n", ""},
    // A GPT row whose name only begins with "safe" (a LUKS volume "safe data")
    // is not the keyring: nothing is written over its header.
    {"partition_named_safe_data", {"-n"}, [](const board &b) {
       b.fdisk_prints("Number  Start (sector)    End (sector)  Size Name\n"
                      "     4           83968           86015 1024K safe data\n");
     },
     "[ERROR] main: generate key\n", ""},
    // A format in the same run needs the keyring found before a key is made.
    {"no_keyring_for_the_format", {"-n", "-f", "/dev/mmcblk0p3", "cryptroot"}, [](const board &b) {
       b.fdisk_prints(read_fixture("fdisk/mbr.txt"));
     },
     "[ERROR] cryptsetup_format: recover key\n[ERROR] main: format partition\n", ""},
    {"fuses_missing", {"-n"}, [](const board &b) { b.remove("/sys/fsl_otp/HW_OCOTP_MAC0"); },
     "[ERROR] compute_keymod: open /sys/fsl_otp/HW_OCOTP_MAC0\n[ERROR] generate_key: compute key modifier\n"
     "[ERROR] main: generate key\n", ""},
    {"key_blob_device_missing", {"-n"}, [](const board &b) { b.remove("/dev/caam_kb"); },
     "[ERROR] generate_key: open key blob device\n[ERROR] main: generate key\n", ""},
    {"encrypt_refused", {"-n"}, [](const board &b) { b.write("/dev/caam_kb", "secret board-a\nfail_encrypt\n"); },
     "[ERROR] generate_key: encrypt ioctl: -1\n[ERROR] main: generate key\n", ""},
    // A fresh blob that the device does not unwrap to the key never reaches the flash.
    {"fresh_blob_refused", {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"},
     [](const board &b) { b.write("/dev/caam_kb", "secret board-a\nfail_request 2\n"); },
     "[ERROR] generate_key: verify new key blob\n[ERROR] main: generate key\n", ""},
    {"fresh_blob_gives_another_key", {"-n"},
     [](const board &b) { b.write("/dev/caam_kb", "secret board-a\nwrong_key_request 2\n"); },
     "[ERROR] generate_key: verify new key blob\n[ERROR] main: generate key\n", ""},
    {"random_device_is_a_file", {"-n"}, [](const board &b) {
       b.remove("/dev/urandom");
       b.write("/dev/urandom", std::string(64, 'k'));
     },
     "[ERROR] generate_key: get random data\n[ERROR] main: generate key\n",
     "get_random: ioctl: Inappropriate ioctl for device\n"},
    {"random_device_missing", {"-n"}, [](const board &b) { b.remove("/dev/urandom"); },
     "[ERROR] generate_key: get random data\n[ERROR] main: generate key\n",
     "get_random: open: No such file or directory\n"},
    {"pool_wait_denied", {"-n"}, [](const board &b) { b.write("/faults", "getrandom_eperm\n"); },
     "[ERROR] generate_key: get random data\n[ERROR] main: generate key\n",
     "get_random: getrandom: Operation not permitted\n"},
    {"keyring_missing", {"-n"}, [](const board &b) { b.remove("/dev/mmcblk0p4"); },
     "[ERROR] generate_key: lock keyring device\n[ERROR] main: generate key\n", ""},
    {"keyring_lock_refused", {"-n"}, [](const board &b) { b.write("/faults", "flock_enolck\n"); },
     "[ERROR] generate_key: lock keyring device\n[ERROR] main: generate key\n", ""},
    {"keyring_lock_refused_to_a_format", {"-f", "/dev/mmcblk0p3", "cryptroot"},
     [](const board &b) { b.write("/faults", "flock_enolck\n"); },
     "[ERROR] cryptsetup_format: lock keyring device\n[ERROR] main: format partition\n", ""},
    {"no_partition_work_after_a_failure", {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"},
     [](const board &b) { b.remove("/dev/caam_kb"); },
     "[ERROR] generate_key: open key blob device\n[ERROR] main: generate key\n", ""},
};

class generation_failure : public testing::TestWithParam<failure_case> {};

TEST_P(generation_failure, stores_nothing_and_says_why)
{
  const failure_case &c = GetParam();
  board b;
  make_emmc_board(b);
  b.image("/dev/mmcblk0p4", 4096, 0x5A);
  if (c.break_board != nullptr)
    c.break_board(b);
  program_result r = run_on_board(b, c.args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  if (b.exists("/dev/mmcblk0p4")) {
    EXPECT_EQ(b.read("/dev/mmcblk0p4"), std::string(4096, 0x5A));
  }
  EXPECT_TRUE(b.log_lines("write /dev/mmcblk0p4").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("open /dev/mmcblk0p4 O_RDWR").empty()) << b.log();
  EXPECT_TRUE(cryptsetup_calls(b).empty());
  expect_no_leak(b);
}

NAMED_CASES(generation_failure, failure_case, GENERATION_FAILURES);

// -n TEXT (with a blank) once stored a random key and ignored TEXT. A key
// text given beside a refused command line leaves the arguments all the same.
TEST(key_generation, detached_key_text_is_refused_before_anything_is_read)
{
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-n", KEY_TEXT}, std::vector<std::string>{"-f", "-n", "/dev/mmcblk0p3", "a", "b"},
        std::vector<std::string>{"-n" + KEY_TEXT, "/dev/mmcblk0p3"}, std::vector<std::string>{"-n" + KEY_TEXT, "-x"}}) {
    board b;
    make_emmc_board(b);
    program_result r = run_on_board(b, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("Lockwarden command line tool", 0), 0u) << r.out;
    EXPECT_EQ(b.log_lines("").size(), b.log_lines("exit cmdline").size()) << b.log();
    EXPECT_EQ(b.read("/dev/mmcblk0p4"), std::string(1024 * 1024, '\0'));
    if (args[0].size() > 2) {
      for (const std::string &line : b.log_lines("exit cmdline"))
        EXPECT_EQ(line.find(hex(KEY_TEXT)), std::string::npos) << line;
    }
  }
}

TEST(key_generation, bad_text_length_touches_nothing_on_the_board)
{
  board b;
  make_emmc_board(b);
  program_result r = run_on_board(b, {"--newkey="});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(b.log_lines("fopen").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("open").empty()) << b.log();
  EXPECT_TRUE(b.log_lines("caam").empty()) << b.log();
}

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
  reset_fake(b);
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

struct pool_case {
  const char *name;
  const char *fault;
  std::vector<std::string> waits;  // the getrandom lines before the device is opened
};

const pool_case POOL_CASES[] = {
    {"seeded", "", {"getrandom 1 0 -> 1"}},
    {"interrupted_wait_is_resumed", "getrandom_eintr\n", {"getrandom 1 0 -> -1 EINTR", "getrandom 1 0 -> 1"}},
    {"kernel_without_getrandom", "getrandom_enosys\n", {"getrandom 1 0 -> -1 ENOSYS"}},
};

// The log of a run without the pool's lines and the locked memory size,
// which varies from run to run.
std::vector<std::string> log_besides_the_pool(const board &b)
{
  std::vector<std::string> lines;
  for (const std::string &line : b.log_lines(""))
    if (line.rfind("getrandom", 0) != 0 && line.rfind("fault getrandom", 0) != 0 && line.rfind("dumpable", 0) != 0)
      lines.push_back(line);
  return lines;
}

class random_key : public testing::TestWithParam<pool_case> {};

TEST_P(random_key, is_read_only_once_the_pool_is_seeded)
{
  const pool_case &c = GetParam();
  board b;
  board reference;
  make_emmc_board(b);
  make_emmc_board(reference);
  b.write("/faults", c.fault);
  program_result r = run_on_board(b, {"-n"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  std::vector<std::string> order;
  for (const std::string &line : b.log_lines(""))
    if (line.rfind("getrandom", 0) == 0 || line.rfind("open /dev/urandom", 0) == 0)
      order.push_back(line);
  std::vector<std::string> expected = c.waits;
  expected.push_back("open /dev/urandom O_RDONLY|O_CLOEXEC");
  EXPECT_EQ(order, expected) << b.log();
  // Whatever the pool said, the run is the one a seeded pool gives.
  ASSERT_EQ(run_on_board(reference, {"-n"}).status, 0);
  EXPECT_EQ(log_besides_the_pool(b), log_besides_the_pool(reference));
  EXPECT_EQ(recovered_key(b).size(), 32u);
}

NAMED_CASES(random_key, pool_case, POOL_CASES);

struct argument_case {
  const char *name;
  std::vector<std::string> args;
  std::string key;  // what cryptsetup is given
};

const argument_case ARGUMENT_CASES[] = {
    {"long_then_short", {"--newkey=" + KEY_TEXT, "-n" + OTHER_KEY_TEXT, "-f", "/dev/mmcblk0p3", "cryptroot"},
     key_20_to_3f()},
    {"short_then_long", {"-n" + OTHER_KEY_TEXT, "--newkey=" + KEY_TEXT, "-f", "/dev/mmcblk0p3", "cryptroot"},
     key_00_to_1f()},
    {"value_then_bare", {"-n" + KEY_TEXT, "-n", "-f", "/dev/mmcblk0p3", "cryptroot"}, key_00_to_1f()},
    {"abbreviated_behind_the_arguments", {"-f", "/dev/mmcblk0p3", "cryptroot", "--new=" + OTHER_KEY_TEXT},
     key_20_to_3f()},
};

class key_text_in_arguments : public testing::TestWithParam<argument_case> {};

TEST_P(key_text_in_arguments, reads_as_zeros_while_cryptsetup_runs)
{
#ifdef LOCKWARDEN_TEST_RUNNER
  GTEST_SKIP() << "/proc/PID/cmdline shows the emulator's own copy";
#endif
  if (getenv("LOCKWARDEN_TOOL_RUNNER") != nullptr)
    GTEST_SKIP() << "/proc/PID/cmdline shows the launcher's own copy";
  const argument_case &c = GetParam();
  board b;
  make_emmc_board(b);
  program_result r = run_on_board(b, c.args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string seen = std::string(LOCKWARDEN_TOOL_PATH) + '\0';
  for (const std::string &argument : c.args)
    seen += argument + '\0';
  for (const std::string &text : {KEY_TEXT, OTHER_KEY_TEXT})
    for (size_t at = seen.find(text); at != std::string::npos; at = seen.find(text))
      seen.replace(at, text.size(), std::string(text.size(), '\0'));
  ASSERT_EQ(cryptsetup_calls(b).size(), 3u);
  for (int n = 1; n <= 3; n++)
    EXPECT_EQ(hex(b.read("/fake/cmdline." + std::to_string(n))), hex(seen)) << "cryptsetup call " << n;
  EXPECT_EQ(cryptsetup_input(b, 1), c.key);
  EXPECT_EQ(cryptsetup_input(b, 3), c.key);
}

NAMED_CASES(key_text_in_arguments, argument_case, ARGUMENT_CASES);

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
  EXPECT_EQ(recovered_key(b), key_00_to_1f());
  EXPECT_EQ(count_lines(b, "caam DECRYPT 32 80 16"), 1u) << b.log();
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
  EXPECT_EQ(recovered_key(b), key_00_to_1f());
  EXPECT_EQ(count_lines(b, "caam DECRYPT"), 2u) << b.log();
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
  reset_fake(b);
  program_result r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
  const std::string tail = "[ERROR] cryptsetup_open: recover key\n[ERROR] main: open partition\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(count_lines(b, "caam DECRYPT"), c.decrypts) << b.log();
  EXPECT_EQ(count_lines(b, "fopen /etc/fw_env.config") != 0, c.fallback_read) << b.log();
  // Only the isLuks check ran; no key reached a cryptsetup.
  EXPECT_EQ(cryptsetup_calls(b), std::vector<std::string>{"isLuks /dev/mmcblk0p3"});
  expect_no_leak(b);
}

NAMED_CASES(recovery_fails, recovery_failure, RECOVERY_FAILURES);

TEST(key_recovery, nand_bad_blocks_are_skipped_on_read_in_a_fresh_run)
{
  board b;
  make_nand_board(b, "bad 0\nbad 1\n");
  program_result r = run_on_board(b, {"--newkey=" + KEY_TEXT});
  EXPECT_EQ(r.out, "Skipping bad block\nSkipping bad block\n");
  reset_fake(b);
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

}  // namespace

namespace {

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
