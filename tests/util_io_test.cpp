// SPDX-License-Identifier: MIT
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
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

volatile sig_atomic_t interruptions = 0;
void count_interruption(int) { interruptions = interruptions + 1; }

TEST(complete_write, interrupted_pipe_writes_deliver_every_byte_once_in_order)
{
  if (under_valgrind())
    GTEST_SKIP() << "memcheck delivers a signal storm too slowly";
  const size_t total = 8 * 1024 * 1024;
  std::vector<unsigned char> data(total);
  for (size_t i = 0; i < total; i++)
    data[i] = static_cast<unsigned char>((i * 131) ^ (i >> 13));

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t reader = fork();
  if (reader == 0) {
    // A slow reader, so that the writer blocks and the timer interrupts it.
    close(pipe_fds[1]);
    std::vector<unsigned char> got;
    unsigned char chunk[4096];
    ssize_t n;
    usleep(20000);
    while ((n = read(pipe_fds[0], chunk, sizeof(chunk))) > 0) {
      got.insert(got.end(), chunk, chunk + n);
      if (got.size() % (256 * 1024) == 0)
        usleep(1000);
    }
    _exit(got == data ? 0 : 1);
  }
  close(pipe_fds[0]);

  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = count_interruption;  // no SA_RESTART: writes see EINTR
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  int result = complete_write(pipe_fds[1], data.data(), total);
  itimerval off{{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
  close(pipe_fds[1]);

  int status = 0;
  waitpid(reader, &status, 0);
  EXPECT_EQ(result, 0);
  EXPECT_GT(interruptions, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the reader saw other bytes than were written";
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
