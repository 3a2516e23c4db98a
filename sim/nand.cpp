// SPDX-License-Identifier: MIT
// Raw NAND, as the kernel's MTD character device answers: geometry, bad
// blocks, erase, lock, and page programming that can only clear bits.

// First: it undoes the large-file and fortify redirections.
#include "sim_internal.h"

#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <unistd.h>

namespace board_sim {

// A device that reports an erase size of 0 still has physical blocks: its
// bad-block table is kept in 128 KiB blocks.
static uint32_t block_size(const nand_geometry &g) { return g.erasesize != 0 ? g.erasesize : 131072; }

static bool listed(const uint32_t *blocks, int count, uint64_t block)
{
  for (int i = 0; i < count; i++)
    if (blocks[i] == block)
      return true;
  return false;
}

void load_geometry(const char *text, nand_geometry *g)
{
  const char *cursor = text;
  setting s;
  while (next_setting(&cursor, &s)) {
    if (strcmp(s.word, "erasesize") == 0)
      g->erasesize = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "writesize") == 0)
      g->writesize = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "bad") == 0 && g->bad_count < MAX_LISTED_BLOCKS)
      g->bad[g->bad_count++] = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "erase_fail") == 0 && g->erase_fail_count < MAX_LISTED_BLOCKS)
      g->erase_fail[g->erase_fail_count++] = static_cast<uint32_t>(setting_number(s));
    else if (strcmp(s.word, "lock") == 0)
      g->lock_unsupported = strcmp(s.value, "unsupported") == 0;
    else if (strcmp(s.word, "getinfo_fail") == 0)
      g->getinfo_fail = true;
  }
}

int nand_ioctl(tracked_fd &t, int fd, unsigned long request, void *argument)
{
  const nand_geometry &g = t.nand;
  const int64_t size = image_size(fd);
  const bool writable = (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;

  if (request == MEMGETINFO) {
    if (g.getinfo_fail) {
      // What the kernel answers when the node is not an MTD char device.
      sim_log("ioctl %s MEMGETINFO %s", t.path, outcome(fail(ENOTTY)));
      return -1;
    }
    if (argument == nullptr)
      return fail(EFAULT);
    mtd_info_user info{};
    info.type = MTD_NANDFLASH;
    info.flags = MTD_CAP_NANDFLASH;
    info.size = static_cast<uint32_t>(size);
    info.erasesize = g.erasesize;
    info.writesize = g.writesize;
    info.oobsize = 64;
    memcpy(argument, &info, sizeof(info));
    sim_log("ioctl %s MEMGETINFO", t.path);
    return 0;
  }
  if (request == MEMGETBADBLOCK) {
    if (argument == nullptr)
      return fail(EFAULT);
    int64_t offset;
    memcpy(&offset, argument, sizeof(offset));
    int result = offset < 0 || offset >= size ? fail(EINVAL)
                 : listed(g.bad, g.bad_count, static_cast<uint64_t>(offset) / block_size(g)) ? 1
                                                                                          : 0;
    sim_log("ioctl %s MEMGETBADBLOCK %lld %s", t.path, static_cast<long long>(offset), outcome(result));
    return result;
  }
  const char *name = request == MEMERASE ? "MEMERASE" : request == MEMLOCK ? "MEMLOCK" : request == MEMUNLOCK ? "MEMUNLOCK" : nullptr;
  if (name == nullptr) {
    sim_log("ioctl %s 0x%lx %s", t.path, request, outcome(fail(ENOTTY)));
    return -1;
  }
  if (argument == nullptr)
    return fail(EFAULT);
  erase_info_user range;
  memcpy(&range, argument, sizeof(range));
  const uint64_t start = range.start, length = range.length, end = start + length;
  const bool outside = static_cast<int64_t>(start) >= size || length > static_cast<uint64_t>(size) - start;
  int result = 0;
  if (!writable)
    result = fail(EPERM);  // the "dangerous" requests need a descriptor opened for writing
  else if (request != MEMERASE)
    result = g.lock_unsupported ? fail(EOPNOTSUPP) : outside ? fail(EINVAL) : 0;
  else if (outside)
    result = fail(EINVAL);
  else if (length != 0 && (g.erasesize == 0 || start % g.erasesize != 0 || length % g.erasesize != 0))
    result = fail(EINVAL);
  else {
    // Block by block: blocks before a failing one stay erased, as on the chip.
    static uint8_t erased[4096];
    memset(erased, 0xFF, sizeof(erased));
    for (uint64_t block = start; block < end && result == 0; block += g.erasesize) {
      if (listed(g.bad, g.bad_count, block / g.erasesize) || listed(g.erase_fail, g.erase_fail_count, block / g.erasesize)) {
        result = fail(EIO);
        break;
      }
      for (uint64_t at = block; at < block + g.erasesize && result == 0; at += sizeof(erased)) {
        size_t n = static_cast<size_t>(block + g.erasesize - at < sizeof(erased) ? block + g.erasesize - at : sizeof(erased));
        if (pwrite64(fd, erased, n, static_cast<off64_t>(at)) != static_cast<ssize_t>(n))
          result = fail(EIO);
      }
    }
    if (result == 0 && length != 0)
      t.erased = true;
  }
  sim_log("ioctl %s %s %u %u %s", t.path, name, range.start, range.length, outcome(result));
  return result;
}

// Programming can only clear bits: the page becomes old AND new, so data
// written without an erase shows up as corrupted content.
static ssize_t nand_program(int fd, const uint8_t *data, size_t count, int64_t at)
{
  static uint8_t cells[16384];
  size_t done = 0;
  while (done < count) {
    size_t n = count - done < sizeof(cells) ? count - done : sizeof(cells);
    if (pread64(fd, cells, n, at + static_cast<int64_t>(done)) != static_cast<ssize_t>(n))
      break;
    for (size_t i = 0; i < n; i++)
      cells[i] &= data[done + i];
    if (pwrite64(fd, cells, n, at + static_cast<int64_t>(done)) != static_cast<ssize_t>(n))
      break;
    done += n;
  }
  explicit_bzero(cells, sizeof(cells));
  return done == count ? static_cast<ssize_t>(count) : fail(EIO);
}

ssize_t nand_write(tracked_fd &t, int fd, const void *data, size_t count, const faults &f)
{
  const int64_t at = position(fd), size = image_size(fd);
  ssize_t result;
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
    result = fail(EBADF);
  else if (at >= size)
    result = fail(ENOSPC);
  else {
    if (static_cast<int64_t>(count) > size - at)
      count = static_cast<size_t>(size - at);
    if (at % t.nand.writesize != 0 || count % t.nand.writesize != 0)
      result = fail(EINVAL);  // the NAND layer takes whole pages only
    else if (count == 0)
      result = 0;
    else {
      size_t pages = count / t.nand.writesize;
      if (f.keyring_short && pages > 1) {
        count = pages / 2 * t.nand.writesize;
        sim_log("fault keyring_short %s", t.path);
      }
      result = nand_program(fd, static_cast<const uint8_t *>(data), count, at);
      forget_vector_registers();
      if (result > 0)
        NEXT(lseek64)(fd, at + result, SEEK_SET);
    }
  }
  sim_log("write %s %lld %zu %s", t.path, static_cast<long long>(at), count, outcome(result));
  return result;
}

}  // namespace board_sim
