#include "util/io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <linux/random.h>
#include <sys/ioctl.h>
#include <unistd.h>

int complete_read(int fd, void *buffer, size_t count)
{
  uint8_t *position = static_cast<uint8_t *>(buffer);
  while (count != 0) {
    ssize_t done = read(fd, position, count);
    if (done == 0)
      break;
    if (done < 0) {
      if (errno == EINTR)
        continue;
      perror("complete_read");
      break;
    }
    count -= static_cast<size_t>(done);
    position += done;
  }
  return count == 0 ? 0 : -1;
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

int get_random(void *buffer, size_t count)
{
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
