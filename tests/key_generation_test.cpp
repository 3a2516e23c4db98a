// SPDX-License-Identifier: MIT
// The program end to end on simulated boards: -n makes a key, random or from
// its text, and stores its blob; what is refused stores nothing.
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

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
  EXPECT_EQ(b.log_lines("caam ENCRYPT 32 80 16").size(), 1u) << b.log();
  std::string first_key = key_given_to_open(b);
  EXPECT_EQ(first_key.size(), 32u);

  ASSERT_EQ(run_on_board(b, {"-n"}).status, 0);
  EXPECT_NE(b.read("/dev/mmcblk0p4").substr(0, 80), first_blob);
  std::string second_key = key_given_to_open(b);
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
  EXPECT_EQ(key_given_to_open(b), key_00_to_1f());
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
  EXPECT_EQ(hex(key_given_to_open(b)), hex(c.key));
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
    {"disk_word_names_no_emmc_disk", {"-n"},
     [](const board &b) { b.write("/proc/cmdline", "root=/dev/mmcblk0p2 lockwarden.disk=/dev/sda\n"); },
     "[ERROR] init_keydev_and_offset: lockwarden.disk=/dev/sda is not an eMMC disk\n[ERROR] main: generate key\n", ""},
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
        std::vector<std::string>{"-n" + KEY_TEXT, "/dev/mmcblk0p3"}, std::vector<std::string>{"-n" + KEY_TEXT, "-x"},
        std::vector<std::string>{"-n" + KEY_TEXT, "-f", "--kdf=pbkdf2", "/dev/mmcblk0p3", "a"}}) {
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
  EXPECT_EQ(key_given_to_open(b).size(), 32u);
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

}  // namespace
