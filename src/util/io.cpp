// SPDX-License-Identifier: MIT
#include "util/io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/random.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <unistd.h>

ssize_t read_until_full(int fd, void *buffer, size_t count, const char *report_label)
{
  uint8_t *position = static_cast<uint8_t *>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t done = read(fd, position + got, count - got);
    if (done == 0)
      break;
    if (done < 0) {
      if (errno == EINTR)
        continue;
      if (report_label != nullptr)
        perror(report_label);
      return -1;
    }
    got += static_cast<size_t>(done);
  }
  return static_cast<ssize_t>(got);
}

int complete_read(int fd, void *buffer, size_t count)
{
  return read_until_full(fd, buffer, count, "complete_read") == static_cast<ssize_t>(count) ? 0 : -1;
}

int complete_write(int fd, const void *buffer, size_t count)
{
  const uint8_t *position = static_cast<const uint8_t *>(buffer);
  while (count != 0) {
    ssize_t done = write(fd, position, count);
    if (done == 0)
      break;
    if (done < 0) {
      if (errno == EINTR)
        continue;
      perror("complete_write");
      break;
    }
    count -= static_cast<size_t>(done);
    position += done;
  }
  return count == 0 ? 0 : -1;
}

namespace {

// The line ends where the stream stands: its newline or the end comes next.
bool line_ends_here(FILE *stream)
{
  int c = fgetc(stream);
  if (c == EOF)
    return true;
  (void)ungetc(c, stream);
  return c == '\n';
}

}  // namespace

bool next_whole_line(FILE *stream, char *line, int size, bool *at_line_start)
{
  while (fgets(line, size, stream) != nullptr) {
    const bool starts_line = *at_line_start;
    *at_line_start = strchr(line, '\n') != nullptr;
    if (starts_line && (*at_line_start || line_ends_here(stream)))
      return true;
  }
  return false;
}

int get_random(void *buffer, size_t count)
{
  // Before Linux 5.18 /dev/urandom answers before the kernel's pool is
  // seeded, and provisioning runs early at first boot. getrandom without
  // flags returns only once the pool is seeded: one byte of it is the wait.
  // A kernel without the call (ENOSYS) leaves the device as the only source.
  uint8_t seeded;
  ssize_t drawn;
  do
    drawn = getrandom(&seeded, 1, 0);
  while (drawn < 0 && errno == EINTR);
  if (drawn < 0 && errno != ENOSYS) {
    perror("get_random: getrandom");
    return -1;
  }

  int result = -1;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror("get_random: open");
    return -1;
  }
  // Only the kernel's random device answers this request; a file planted in
  // its place does not, and is then never read as key material.
  int entropy_count = 0;
  if (ioctl(fd, RNDGETENTCNT, &entropy_count) != 0)
    perror("get_random: ioctl");
  else
    result = complete_read(fd, buffer, count);
  close(fd);
  return result;
}

int wait_for_lock(int fd, int operation, long limit_ms)
{
  // Short pauses between attempts: a lock freed while we sleep is taken
  // within a tenth of a second.
  constexpr long RETRY_MS = 100;
  timespec start;
  if (clock_gettime(CLOCK_MONOTONIC, &start) != 0)
    return -1;
  while (true) {
    if (flock(fd, operation | LOCK_NB) == 0)
      return 0;
    if (errno == EINTR)
      continue;
    if (errno != EWOULDBLOCK)
      return -1;
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
      return -1;
    // In long, not 64 bits: a 64-bit division on 32-bit ARM is a call into
    // libgcc_s, a library the program does not otherwise need. The
    // nanoseconds are borrowed into the seconds first: a negative difference
    // divided would round towards zero and end the wait early.
    long seconds = static_cast<long>(now.tv_sec - start.tv_sec);
    long nanoseconds = now.tv_nsec - start.tv_nsec;
    if (nanoseconds < 0) {
      seconds--;
      nanoseconds += 1000000000;
    }
    const long waited = seconds * 1000 + nanoseconds / 1000000;
    if (waited >= limit_ms)
      return -1;
    const long pause = limit_ms - waited < RETRY_MS ? limit_ms - waited : RETRY_MS;
    timespec interval = {pause / 1000, pause % 1000 * 1000000};
    (void)nanosleep(&interval, nullptr);
  }
}
