// SPDX-License-Identifier: MIT
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/cases.h"

#include "support/capture.h"
#include "support/run_program.h"
#include "util/io.h"
#include "util/secure_wipe.h"

namespace {

template <typename Call>
std::string captured_stderr(Call call)
{
  return captured_output(2, call);
}

std::string temp_file_with(const std::string &content)
{
  char path[] = "/tmp/lockwarden-io-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  return path;
}

TEST(complete_read, reads_exactly_the_count)
{
  std::string path = temp_file_with("0123456789");
  int fd = open(path.c_str(), O_RDONLY);
  char buffer[8] = {};
  EXPECT_EQ(complete_read(fd, buffer, 4), 0);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  close(fd);
  unlink(path.c_str());
}

TEST(complete_read, short_file_fails_silently_and_keeps_the_bytes)
{
  std::string path = temp_file_with("abc");
  int fd = open(path.c_str(), O_RDONLY);
  char buffer[8] = {};
  int result = 0;
  std::string err = captured_stderr([&] { result = complete_read(fd, buffer, 8); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err, "");
  EXPECT_EQ(std::string(buffer, 3), "abc");
  close(fd);
  unlink(path.c_str());
}

TEST(complete_read_write, zero_count_touches_no_descriptor)
{
  char buffer[1] = {};
  std::string err = captured_stderr([&] {
    EXPECT_EQ(complete_read(-1, buffer, 0), 0);
    EXPECT_EQ(complete_write(-1, buffer, 0), 0);
  });
  EXPECT_EQ(err, "");
}

TEST(complete_read_write, invalid_descriptor_is_reported_in_perror_form)
{
  char buffer[4] = {};
  struct {
    const char *label;
    int (*call)(char *);
  } const rows[] = {
      {"complete_read", [](char *b) { return complete_read(-1, b, 4); }},
      {"complete_write", [](char *b) { return complete_write(-1, b, 4); }},
  };
  for (const auto &row : rows) {
    int result = 0;
    std::string err = captured_stderr([&] { result = row.call(buffer); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, std::string(row.label) + ": " + strerror(EBADF) + "\n");
  }
}

// The reader is the signal handler itself: the writer blocks on a full pipe,
// and only an interruption that drains it lets the write go on. So every run
// interrupts the write, whatever the scheduler does, with no second process
// or thread (which qemu-user runs unreliably during a signal storm).
const size_t PIPE_TOTAL = 4 * 1024 * 1024;
unsigned char pipe_received[PIPE_TOTAL];
volatile size_t pipe_received_len = 0;
volatile sig_atomic_t interruptions = 0;
int pipe_read_end = -1;

void drain_some(int)
{
  interruptions = interruptions + 1;
  const int saved_errno = errno;
  const size_t len = pipe_received_len;
  ssize_t n = read(pipe_read_end, pipe_received + len, PIPE_TOTAL - len < 16384 ? PIPE_TOTAL - len : 16384);
  if (n > 0)
    pipe_received_len = len + static_cast<size_t>(n);
  errno = saved_errno;
}

TEST(complete_write, interrupted_pipe_writes_deliver_every_byte_once_in_order)
{
  if (under_valgrind())
    GTEST_SKIP() << "memcheck runs a handler that drains a pipe too slowly for a signal storm";
  std::vector<unsigned char> data(PIPE_TOTAL);
  for (size_t i = 0; i < PIPE_TOTAL; i++)
    data[i] = static_cast<unsigned char>((i * 131) ^ (i >> 13));

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pipe_read_end = pipe_fds[0];
  // The read end alone is non-blocking: the handler never waits.
  ASSERT_EQ(fcntl(pipe_read_end, F_SETFL, O_NONBLOCK), 0);

  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = drain_some;  // no SA_RESTART: writes see EINTR or stop short
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{{0, 1000}, {0, 1000}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  int result = complete_write(pipe_fds[1], data.data(), PIPE_TOTAL);
  itimerval off{{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
  close(pipe_fds[1]);
  ssize_t n;
  while ((n = read(pipe_read_end, pipe_received + pipe_received_len, PIPE_TOTAL - pipe_received_len)) > 0)
    pipe_received_len = pipe_received_len + static_cast<size_t>(n);
  close(pipe_read_end);

  EXPECT_EQ(result, 0);
  EXPECT_GT(interruptions, 0);
  ASSERT_EQ(pipe_received_len, PIPE_TOTAL);
  EXPECT_EQ(memcmp(pipe_received, data.data(), PIPE_TOTAL), 0) << "the reader saw other bytes than were written";
}

// A lock held elsewhere is waited for up to the bound, and no longer.
TEST(wait_for_lock, gives_up_after_its_bound_while_another_writer_holds_it)
{
  std::string path = temp_file_with("");
  int writer = open(path.c_str(), O_RDONLY);
  int reader = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(flock(writer, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_for_lock(reader, LOCK_SH, 250), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  close(writer);
  EXPECT_EQ(wait_for_lock(reader, LOCK_SH, 0), 0);
  close(reader);
  unlink(path.c_str());
}

TEST(get_random, fills_the_buffer_from_the_kernel_device)
{
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  ASSERT_EQ(get_random(first, sizeof(first)), 0);
  ASSERT_EQ(get_random(second, sizeof(second)), 0);
  EXPECT_NE(memcmp(first, second, sizeof(first)), 0);
  unsigned char zero[32] = {};
  EXPECT_NE(memcmp(first, zero, sizeof(first)), 0);
}

TEST(secure_wipe, zeroes_exactly_the_given_bytes)
{
  unsigned char buffer[34];
  memset(buffer, 0x5A, sizeof(buffer));
  secure_wipe(buffer + 1, 32);
  EXPECT_EQ(buffer[0], 0x5A);
  for (int i = 1; i <= 32; i++)
    EXPECT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[33], 0x5A);
  secure_wipe(buffer, 0);
  EXPECT_EQ(buffer[0], 0x5A);
}

}  // namespace
