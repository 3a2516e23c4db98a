// SPDX-License-Identifier: MIT
// Runs of the program side by side on one simulated board, and signals in
// the middle of a rewrite: the keyring lock orders them, and every blob the
// flash ends with is whole.
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/board_builders.h"
#include "support/fake_cryptsetup.h"
#include "support/run_program.h"

namespace {

// Waits, 30 s at most, until `ready` holds; false if it never did.
template <typename Ready>
bool wait_until(Ready ready)
{
  for (int tries = 0; tries < 3000; tries++) {
    if (ready())
      return true;
    usleep(10000);
  }
  return false;
}

bool paused_run(const board &b)
{
  std::string pid = b.read("/paused");
  return !pid.empty() && pid.back() == '\n';
}

// The key that the next open of the volume is given.
std::string key_after(const board &b)
{
  b.remove("/faults");
  return key_given_to_open(b);
}

TEST(concurrent_stores, the_second_waits_until_the_first_has_rewritten_the_block)
{
  board b;
  make_nand_board(b);
  b.write("/faults", "pause_after_erase\n");
  const started_program first_run = start_on_board(b, {"--newkey=" + KEY_TEXT});
  const bool first_paused = wait_until([&] { return paused_run(b); });
  const started_program second_run = start_on_board(b, {"--newkey=" + OTHER_KEY_TEXT});
  const bool second_waits = first_paused && wait_until([&] { return !b.log_lines("flock /dev/mtd2 LOCK_EX waits").empty(); });
  b.write("/resume", "");
  const program_result first = wait_for(first_run);
  const program_result second = wait_for(second_run);
  EXPECT_TRUE(first_paused);
  EXPECT_TRUE(second_waits) << b.log();
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(second.status, 0) << second.out;
  std::vector<std::string> steps;
  for (const std::string &line : b.log_lines(""))
    if (line.rfind("ioctl /dev/mtd2 MEMERASE", 0) == 0 || line.rfind("write /dev/mtd2", 0) == 0)
      steps.push_back(line[0] == 'i' ? "erase" : "program");
  EXPECT_EQ(steps, (std::vector<std::string>{"erase", "program", "erase", "program"})) << b.log();
  EXPECT_EQ(hex(key_after(b)), hex(key_20_to_3f())) << "the later blob, whole";
}

// An open that starts while a store stands between erase and program waits
// for it and opens with the new key; a lock it cannot have fails the open.
TEST(concurrent_stores, an_open_waits_for_the_rewrite_and_gets_the_new_key)
{
  board b;
  make_nand_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.write("/faults", "pause_after_erase\n");
  const started_program store = start_on_board(b, {"--newkey=" + OTHER_KEY_TEXT});
  const bool paused = wait_until([&] { return paused_run(b); });
  const started_program open = start_on_board(b, {"/dev/mmcblk0p3", "cryptroot"});
  EXPECT_TRUE(paused && wait_until([&] { return !b.log_lines("flock /dev/mtd2 LOCK_SH|LOCK_NB -> -1").empty(); }));
  b.write("/resume", "");
  EXPECT_EQ(wait_for(store).status, 0);
  EXPECT_EQ(wait_for(open).status, 0) << b.log();
  EXPECT_EQ(hex(cryptsetup_input(b, 2)), hex(key_20_to_3f()));
  b.write("/faults", "flock_enolck\n");
  EXPECT_EQ(run_on_board(b, {"/dev/mmcblk0p3", "cryptroot"}).out,
            "[ERROR] cryptsetup_open: lock keyring device\n[ERROR] main: open partition\n");
}

// Which runs hold the keyring, from which step to the end of the run: one
// lock each, shared for a run without -n or -f, which only reads (--status
// among them).
struct lock_case {
  const char *name;
  std::vector<std::string> args;
  const char *before;  // the first log line the lock comes before
};

const lock_case LOCK_CASES[] = {
    {"new_key", {"-n"}, "write /dev/mmcblk0p4"},
    // Before the volume is checked, and so before the key blob device.
    {"new_key_for_a_volume", {"-n", "/dev/mmcblk0p3", "cryptroot"}, "caam ENCRYPT"},
    {"new_key_format_and_open", {"-f", "-n", "/dev/mmcblk0p3", "cryptroot"}, "write /dev/mmcblk0p4"},
    {"format_and_open", {"-f", "/dev/mmcblk0p3", "cryptroot"}, "caam DECRYPT"},
    {"open_only", {"/dev/mmcblk0p3", "cryptroot"}, "read /dev/mmcblk0p4"},
    {"status", {"--status"}, "read /dev/mmcblk0p4"},
};

class keyring_lock : public testing::TestWithParam<lock_case> {};

TEST_P(keyring_lock, is_held_from_its_step_to_the_end_of_the_run)
{
  const lock_case &c = GetParam();
  board b;
  make_emmc_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.clear_log();
  EXPECT_EQ(run_on_board(b, c.args).status, 0);
  const std::string log = b.log();
  ASSERT_EQ(b.log_lines("flock").size(), 1u) << log;
  EXPECT_EQ(b.log_lines("flock").front(),
            c.args[0][0] == '/' || c.args[0] == "--status" ? "flock /dev/mmcblk0p4 LOCK_SH|LOCK_NB -> 0" : "flock /dev/mmcblk0p4 LOCK_EX -> 0");
  EXPECT_LT(log.find("flock"), log.find(c.before)) << log;
  // Released as the run ends: its descriptor is the last one closed.
  const std::vector<std::string> lines = b.log_lines("");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "close /dev/mmcblk0p4") << log;
  EXPECT_EQ(lines.back().rfind("exit cmdline", 0), 0u) << log;
  EXPECT_EQ(b.log_lines("open /dev/mmcblk0p4").size(), b.log_lines("close /dev/mmcblk0p4").size()) << log;
}

NAMED_CASES(keyring_lock, lock_case, LOCK_CASES);

struct signal_case {
  const char *name;
  int signal_number;
};

const signal_case STOPPING_SIGNALS[] = {{"interrupt", SIGINT}, {"terminate", SIGTERM}, {"hang_up", SIGHUP},
                                        {"quit", SIGQUIT},     {"user_signal", SIGUSR1}, {"alarm", SIGALRM},
                                        {"terminal_stop", SIGTSTP}};

class signal_during_rewrite : public testing::TestWithParam<signal_case> {};

TEST_P(signal_during_rewrite, arrives_once_the_new_blob_is_written_and_locked)
{
  const signal_case &c = GetParam();
  board b;
  make_nand_board(b);
  ASSERT_EQ(run_on_board(b, {"--newkey=" + KEY_TEXT}).status, 0);
  b.write("/faults", "pause_after_erase\n");
  b.clear_log();
  const started_program run = start_on_board(b, {"--newkey=" + OTHER_KEY_TEXT});
  const bool paused = wait_until([&] { return paused_run(b); });
  const pid_t pid = paused ? std::stoi(b.read("/paused")) : 0;
  if (paused)
    kill(pid, c.signal_number);
  b.write("/resume", "");
  // A stopped run is continued, until it has ended, once it has relocked the block.
  if (paused && c.signal_number == SIGTSTP) {
    EXPECT_TRUE(wait_until([&] { return !b.log_lines("ioctl /dev/mtd2 MEMLOCK").empty(); })) << b.log();
    // Until it has exited: it stays this test's unreaped child till wait_for.
    wait_until([&] {
      kill(pid, SIGCONT);
      siginfo_t info{};
      return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    });
  }
  const program_result r = wait_for(run);
  ASSERT_TRUE(paused);
  if (c.signal_number == SIGTSTP) {
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(hex(key_after(b)), hex(key_20_to_3f()));
    return;
  }
  EXPECT_EQ(r.status, 128 + c.signal_number);
  std::vector<std::string> after_pause;
  bool seen = false;
  for (const std::string &line : b.log_lines("")) {
    seen = seen || line.rfind("fault pause_after_erase", 0) == 0;
    if (seen && line.rfind("fault", 0) != 0)
      after_pause.push_back(line);
  }
  // Written and relocked, and ended before the device was closed.
  EXPECT_EQ(after_pause, (std::vector<std::string>{"write /dev/mtd2 0 2048 -> 2048",
                                                    "ioctl /dev/mtd2 MEMLOCK 0 131072 -> 0"}));
  EXPECT_EQ(hex(key_after(b)), hex(key_20_to_3f()));
}

NAMED_CASES(signal_during_rewrite, signal_case, STOPPING_SIGNALS);

}  // namespace
