// SPDX-License-Identifier: MIT
// The program under injected faults: every failure is reported with its exact
// lines and status 255, never a crash, and no secret is left behind.
#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

std::string first_line(const std::string &text) { return text.substr(0, text.find('\n') + 1); }

// How many allocations a run makes, from the simulator's trace.
size_t allocations_of(const board &b, const std::vector<std::string> &args)
{
  b.write("/faults", "malloc_trace\n");
  b.clear_log();
  EXPECT_EQ(run_on_board(b, args).status, 0);
  b.remove("/faults");
  return b.log_lines("malloc ").size();
}

// The simulator's allocation faults need its malloc: a sanitizer or a
// checker in front of the program (valgrind) replaces it.
bool allocation_hooks_present()
{
#ifdef LOCKWARDEN_SANITIZED
  return false;
#else
  return getenv("LOCKWARDEN_TOOL_RUNNER") == nullptr;
#endif
}

struct allocation_case {
  const char *name;
  void (*make)(const board &);
  std::vector<std::string> args;
  std::set<std::string> must_see;  // first lines that some failing allocation must give
};

const allocation_case ALLOCATION_CASES[] = {
    {"store_on_emmc", [](const board &b) { make_emmc_board(b); }, {"--newkey=" + KEY_TEXT},
     {"[ERROR] generate_key: malloc raw key\n", "[ERROR] generate_key: malloc key blob\n",
      "[ERROR] generate_key: malloc key modifier\n"}},
    {"store_on_nand", [](const board &b) { make_nand_board(b); }, {"--newkey=" + KEY_TEXT},
     {"[ERROR] generate_key: malloc raw key\n", "[ERROR] keyring_store: Memory allocation error\n"}},
    {"open", [](const board &b) {
       make_emmc_board(b);
       ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
     },
     {"/dev/mmcblk0p3", "cryptroot"},
     {"[ERROR] read_and_verify_key: malloc key blob\n", "[ERROR] read_and_verify_key: malloc key modifier\n"}},
};

class every_allocation_failing : public testing::TestWithParam<allocation_case> {};

TEST_P(every_allocation_failing, in_turn_fails_cleanly_or_not_at_all)
{
  if (!allocation_hooks_present())
    GTEST_SKIP() << "no allocation faults when the sanitizer or valgrind owns malloc";
  const allocation_case &c = GetParam();
  board b;
  c.make(b);
  const size_t total = allocations_of(b, c.args);
  ASSERT_GT(total, 5u) << b.log();

  std::set<std::string> seen;
  for (size_t n = 1; n <= total; n++) {
    b.write("/faults", "malloc_fail " + std::to_string(n) + "\n");
    b.clear_log();
    program_result r = run_on_board(b, c.args);
    // The failing allocation may be one the C library copes with (a stdio
    // buffer): then the run succeeds whole.
    ASSERT_TRUE(r.status == 0 || r.status == 255) << "allocation " << n << ": status " << r.status;
    if (r.status == 255) {
      const std::string tail = c.args.size() == 2 ? "[ERROR] main: open partition\n" : "[ERROR] main: generate key\n";
      ASSERT_GE(r.out.size(), tail.size()) << n;
      EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << "allocation " << n;
      seen.insert(first_line(r.out));
    } else {
      EXPECT_EQ(r.out, "") << "allocation " << n;
    }
    EXPECT_TRUE(b.log_lines("LEAK").empty()) << "allocation " << n << "\n" << b.log();
  }
  for (const std::string &line : c.must_see)
    EXPECT_EQ(seen.count(line), 1u) << line;
}

NAMED_CASES(every_allocation_failing, allocation_case, ALLOCATION_CASES);

void make_board_with_fault(const board &b, bool nand, const char *fault)
{
  if (nand)
    make_nand_board(b);
  else
    make_emmc_board(b);
  b.write("/faults", std::string(fault) + "\n");
}

struct write_fault_case {
  const char *name;
  bool nand;
  const char *fault;
};

const write_fault_case RECOVERABLE_WRITE_FAULTS[] = {
    {"emmc_interrupted", false, "keyring_eintr"},
    {"emmc_short_writes", false, "keyring_short"},
    {"nand_interrupted", true, "keyring_eintr"},
    // A NAND store writes one page, which the MTD driver never splits.
};

class keyring_write_fault : public testing::TestWithParam<write_fault_case> {};

TEST_P(keyring_write_fault, still_stores_every_byte_once)
{
  const write_fault_case &c = GetParam();
  board b;
  make_board_with_fault(b, c.nand, c.fault);
  program_result r = run_on_board(b, {"--newkey=" + KEY_TEXT});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(b.log_lines("fault " + std::string(c.fault)).empty()) << b.log();
  b.remove("/faults");
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f());
}

NAMED_CASES(keyring_write_fault, write_fault_case, RECOVERABLE_WRITE_FAULTS);

struct io_error_case {
  const char *name;
  bool nand;
  const char *fault;
  std::string out;
  std::string err;
};

const io_error_case IO_ERRORS[] = {
    {"emmc_write", false, "keyring_write_eio",
     "[ERROR] keyring_store: write key blob\n[ERROR] main: generate key\n", "complete_write: Input/output error\n"},
    {"nand_write", true, "keyring_write_eio",
     "[ERROR] keyring_store: write key blob\n[ERROR] main: generate key\n", "complete_write: Input/output error\n"},
    {"emmc_sync", false, "fsync_eio", "[ERROR] keyring_store: sync keyring device\n[ERROR] main: generate key\n", ""},
};

class keyring_io_error : public testing::TestWithParam<io_error_case> {};

TEST_P(keyring_io_error, fails_the_store_with_its_lines)
{
  const io_error_case &c = GetParam();
  board b;
  make_board_with_fault(b, c.nand, c.fault);
  program_result r = run_on_board(b, {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  // Formatted with the new key before the store: -n -f again starts over.
  EXPECT_EQ(cryptsetup_calls(b), std::vector<std::string>{FORMAT_OPTIONS + " -d - luksFormat /dev/mmcblk0p3"});
  expect_no_leak(b);
}

NAMED_CASES(keyring_io_error, io_error_case, IO_ERRORS);

TEST(power_cut, between_erase_and_program_leaves_a_board_that_fails_cleanly_or_falls_back)
{
  board b;
  make_nand_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  // The provisioning copy behind the U-Boot environment, on another MTD device.
  b.image("/dev/mtd1", 4 * NAND_ERASE_SIZE, 0xFF);
  b.write("/dev/mtd1.nand", "erasesize 131072\nwritesize 2048\n");
  b.write("/etc/fw_env.config", "/dev/mtd1 0x0 0x20000 0x20000 1\n");

  b.write("/faults", "powercut_after_erase\n");
  program_result r = run_on_board(b, {"-n"});
  EXPECT_EQ(r.status, 128 + 9);
  b.remove("/faults");
  EXPECT_EQ(b.read("/dev/mtd2").substr(0, NAND_ERASE_SIZE), std::string(NAND_ERASE_SIZE, '\xff'));

  // Nothing behind the environment: a clean failure.
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_open: recover key\n"
                   "[ERROR] main: open partition\n");

  // A good blob there: the key comes back.
  board source;
  make_nand_board(source);
  ASSERT_EQ(run_on_board(source, {"--newkey=" + KEY_TEXT}).status, 0);
  std::string mtd1 = b.read("/dev/mtd1");
  mtd1.replace(0x20000, NAND_PAGE_SIZE, source.read("/dev/mtd2").substr(0, NAND_PAGE_SIZE));
  b.write("/dev/mtd1", mtd1);
  cryptsetup_forget(b);
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cryptsetup_input(b, 2), key_00_to_1f());
}

TEST(key_blob_device, failing_every_request_stores_and_recovers_nothing)
{
  board b;
  make_emmc_board(b);
  b.write("/dev/caam_kb", "secret board-a\nfail_all\n");
  program_result r = run_on_board(b, {"-n"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] generate_key: encrypt ioctl: -1\n[ERROR] main: generate key\n");
  EXPECT_EQ(b.read("/dev/mmcblk0p4"), std::string(1024 * 1024, '\0'));

  b.write("/etc/fw_env.config", "/dev/mmcblk0p4 0x0 0x1000\n");
  r = run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_open: recover key\n"
                   "[ERROR] main: open partition\n");
  expect_no_leak(b);
}

TEST(process_hardening, keys_are_held_undumpable_and_locked_in_memory)
{
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"}).status, 0);
  std::vector<std::string> requests = b.log_lines("dumpable");
  ASSERT_EQ(requests.size(), 4u) << b.log();  // one encrypt, two checks, the open's recovery
  for (const std::string &line : requests) {
    EXPECT_EQ(line.rfind("dumpable 0 locked ", 0), 0u) << line;
#ifndef LOCKWARDEN_SANITIZED
    // A sanitizer's terabytes of shadow memory cannot be locked.
    EXPECT_NE(line, "dumpable 0 locked 0 kB");
#endif
  }
}

TEST(process_hardening, a_refused_memory_lock_changes_nothing_the_user_sees)
{
  if (run_shell("command -v setpriv && command -v prlimit").status != 0)
    GTEST_SKIP() << "setpriv and prlimit (util-linux) are needed";
  board b;
  make_emmc_board(b);
  // Without CAP_IPC_LOCK and with no lockable memory, mlockall is refused.
  program_run run{{"-f", "-n" + KEY_TEXT, "/dev/mmcblk0p3", "cryptroot"}, b.root, FAKE_CRYPTSETUP_BIN,
                  {"FAKE_CRYPTSETUP_DIR=" + b.path("/fake")}, ""};
  run.runner = "prlimit --memlock=0:0 setpriv --inh-caps=-ipc_lock --bounding-set=-ipc_lock";
  program_result r = run_tool(run);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(b.log_lines("dumpable 0 locked 0 kB").size(), 4u) << b.log();
  EXPECT_EQ(cryptsetup_input(b, 1), key_00_to_1f());
  EXPECT_EQ(cryptsetup_input(b, 3), key_00_to_1f());
}

// The descriptors of an `ls -l /proc/self/fd` listing, "N -> target" each,
// but for the one that ls reads the listing through.
std::vector<std::string> descriptors_in(const std::string &listing)
{
  std::vector<std::string> found;
  for (size_t start = 0, end; start < listing.size(); start = end + 1) {
    end = listing.find('\n', start);
    std::string line = listing.substr(start, end - start);
    size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos || line.compare(arrow + 4, 6, "/proc/") == 0)
      continue;
    found.push_back(line.substr(line.rfind(' ', arrow - 1) + 1));
  }
  return found;
}

// An fdisk that lists its own descriptors and warns on its standard error,
// while the key blob device is open in the program that runs it.
void make_board_with_listing_fdisk(const board &b)
{
  make_emmc_board(b);
  b.write("/sbin/fdisk", "#!/bin/sh\nls -l /proc/self/fd > \"$(dirname \"$0\")/fdisk.fds\"\n"
                         "echo 'fdisk: a warning' >&2\ncat \"$(dirname \"$0\")/fdisk.txt\"\n");
}

struct inherited_case {
  const char *name;
  std::vector<std::string> args;
  const char *runner;
  const char *environment;
  inherited_state state;
  int status;
  const char *err;  // how standard error ends
};

const char *const REPORT = "main: write standard output: Broken pipe\n";
const std::vector<std::string> FORMAT_AND_OPEN = {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"};

const inherited_case INHERITED_CASES[] = {
    {"child_exits_ignored", FORMAT_AND_OPEN, "env --ignore-signal=CHLD", "", {}, 0, ""},
    {"stopping_signals_blocked", FORMAT_AND_OPEN, "env --block-signal=INT,TERM,HUP,TSTP", "", {}, 0, ""},
    {"posixly_correct", {"-n", "/dev/mmcblk0p3", "cryptroot", "-f"}, "", "POSIXLY_CORRECT=1", {}, 0, ""},
    {"standard_streams_closed", FORMAT_AND_OPEN, "", "", {{0, 1, 2}, false}, 0, ""},
    {"standard_input_closed", FORMAT_AND_OPEN, "", "", {{0}, false}, 0, ""},
    {"standard_error_closed", FORMAT_AND_OPEN, "", "", {{2}, false}, 0, ""},
    {"reader_gone_usage", {"-x"}, "", "", {{}, true}, 1, REPORT},
    {"reader_gone_help", {"--help"}, "", "", {{}, true}, 0, REPORT},
    {"reader_gone_version", {"--version"}, "", "", {{}, true}, 0, REPORT},
    {"reader_gone_failed_open", {"/dev/mmcblk0p3", "cryptroot"}, "", "", {{}, true}, 255, REPORT},
    {"reader_gone_after_children", FORMAT_AND_OPEN, "", "", {{}, true}, 0, ""},
};

class inherited_process_state : public testing::TestWithParam<inherited_case> {};

TEST_P(inherited_process_state, changes_neither_the_result_nor_what_children_get)
{
  const inherited_case &c = GetParam();
  // valgrind itself needs standard error open before the program starts.
  if (!c.state.closed_fds.empty() && c.state.closed_fds.back() == 2 && getenv("LOCKWARDEN_TOOL_RUNNER") != nullptr)
    GTEST_SKIP() << "a checker in front of the program needs standard error";
  board b;
  make_board_with_listing_fdisk(b);
  const std::string device_config = b.read("/dev/caam_kb");
  if (c.status == 255)
    b.remove("/dev/caam_kb");
  program_run run = board_run(b, c.args);
  run.runner = c.runner;
  if (c.environment[0] != '\0')
    run.extra_env.push_back(c.environment);
  program_result r = run_tool(run, c.state);
  EXPECT_EQ(r.status, c.status) << r.err << b.log();
  const std::string err_tail = c.err;
  ASSERT_GE(r.err.size(), err_tail.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - err_tail.size()), err_tail) << r.err;
  if (c.status != 0 || c.args.size() != 4)
    return;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cryptsetup_calls(b).size(), 3u);
  for (int n = 1; n <= 3; n++)
    EXPECT_EQ(b.read("/fake/sigblk." + std::to_string(n)), "0000000000000000\n") << "child " << n;
  EXPECT_EQ(b.read("/dev/caam_kb"), device_config) << "a child wrote to the key blob device";
  // Every child has its three standard streams, and only them.
  for (const std::string &listing : {b.read("/sbin/fdisk.fds"), b.read("/fake/fds.1"), b.read("/fake/fds.3")}) {
    std::vector<std::string> fds = descriptors_in(listing);
    ASSERT_EQ(fds.size(), 3u) << listing;
    EXPECT_EQ(fds[0].find(b.root), std::string::npos) << listing;
    EXPECT_EQ(fds[2].find(b.root), std::string::npos) << listing;
  }
}

NAMED_CASES(inherited_process_state, inherited_case, INHERITED_CASES);

}  // namespace
