// SPDX-License-Identifier: MIT
#include "keyring/keyring_device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"

// What a refused store returns: the kernel's numbers, as they always were.
static_assert(EINVAL == 22 && ENOMEM == 12, "-EINVAL is -22 and -ENOMEM is -12");

int get_mtd_geometry(int fd, mtd_geometry *geometry)
{
  mtd_info_user info;
  memset(&info, 0, sizeof(info));
  const int result = ioctl(fd, MEMGETINFO, &info);
  geometry->erasesize = result != 0 ? result : static_cast<int>(info.erasesize);
  geometry->writesize = result != 0 ? result : static_cast<int>(info.writesize);
  return result;
}

int is_bad_block(keyring_location *location, int fd)
{
  while (true) {
    loff_t block_offset = static_cast<loff_t>(location->offset);
    int bad = ioctl(fd, MEMGETBADBLOCK, &block_offset);
    mtd_geometry geometry;
    (void)get_mtd_geometry(fd, &geometry);
    // An erase size of 0 would never move past a bad block, and would let a
    // store program a page it never erased.
    if (geometry.erasesize <= 0) {
      report_error(SCOPE_IS_BAD_BLOCK, "Failed to get mtd info");
      return geometry.erasesize < 0 ? geometry.erasesize : -1;
    }
    if (bad == 0)
      return 0;
    if (bad < 0)
      return -1;
    printf("Skipping bad block\n");
    location->offset += static_cast<uint64_t>(geometry.erasesize);
  }
}

namespace {

// One erase block of raw NAND made ready for the blob: the whole page that
// will carry it, and the range to erase and relock.
struct flash_page {
  uint8_t *bytes;
  size_t size;
  erase_info_user block;
};

// Raw NAND: the geometry, the page holding the blob, the bad-block scan and
// the unlock, everything short of the erase. On failure the page is the
// caller's to release.
int prepare_flash_page(keyring_location *primary, int fd, const uint8_t *blob, uint32_t blob_len, flash_page *page)
{
  mtd_geometry geometry;
  (void)get_mtd_geometry(fd, &geometry);
  if (geometry.erasesize < 0) {
    report_error(SCOPE_KEYRING_STORE, "Failed to get mtd info");
    return geometry.erasesize;
  }
  const int writesize = geometry.writesize;
  if (writesize < 0 || static_cast<uint32_t>(writesize) < blob_len) {
    report_error(SCOPE_KEYRING_STORE, "Invalid size %d", writesize);
    return writesize < 0 ? writesize : -EINVAL;
  }
  page->bytes = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(writesize)));
  if (page->bytes == nullptr) {
    report_error(SCOPE_KEYRING_STORE, "Memory allocation error");
    return -ENOMEM;
  }
  page->size = static_cast<size_t>(writesize);
  memcpy(page->bytes, blob, blob_len);

  int scan = is_bad_block(primary, fd);
  if (scan != 0)
    return scan;
  page->block.start = static_cast<uint32_t>(primary->offset);
  page->block.length = static_cast<uint32_t>(geometry.erasesize);
  (void)ioctl(fd, MEMUNLOCK, &page->block);  // flash without lock support refuses; harmless
  return 0;
}

// The error line's subject when the seek or the write fails, else nullptr.
const char *write_at_offset(const keyring_location *primary, int fd, const void *data, size_t count)
{
  if (lseek(fd, static_cast<off_t>(primary->offset), SEEK_SET) == static_cast<off_t>(-1))
    return "lseek keyring";
  if (complete_write(fd, data, count) < 0)
    return "write key blob";
  return nullptr;
}

// Erase, program and relock. A failed seek or write still relocks the block.
// From the erase on, the only stored blob is gone until the new page is
// programmed and the block relocked: every signal that can wait (an
// interrupt, a stop of the service, a hang-up, a timer, a user signal, a
// terminal stop) waits until then, and acts as before once the mask is back.
// Every exit from that stretch restores the mask first.
int rewrite_flash_block(const keyring_location *primary, int fd, const flash_page &page)
{
  erase_info_user block = page.block;
  sigset_t stopping;
  sigset_t previous;
  sigfillset(&stopping);

  (void)sigprocmask(SIG_BLOCK, &stopping, &previous);
  if (ioctl(fd, MEMERASE, &block) != 0) {
    const int error = errno;
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
    report_error(SCOPE_KEYRING_STORE, "MTD erase error: %s", strerror(error));
    return -1;
  }
  const char *failed = write_at_offset(primary, fd, page.bytes, page.size);
  if (failed == nullptr) {
    (void)ioctl(fd, MEMLOCK, &block);
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
    return 0;
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  report_error(SCOPE_KEYRING_STORE, "%s", failed);
  (void)ioctl(fd, MEMLOCK, &block);
  return -1;
}

int store_on_flash(keyring_location *primary, int fd, const uint8_t *blob, uint32_t blob_len)
{
  flash_page page;
  memset(&page, 0, sizeof(page));
  int result = prepare_flash_page(primary, fd, blob, blob_len, &page);
  if (result == 0)
    result = rewrite_flash_block(primary, fd, page);
  release_secret(page.bytes, page.size);
  return result;
}

int store_on_image(const keyring_location *primary, int fd, const uint8_t *blob, uint32_t blob_len)
{
  const char *failed = write_at_offset(primary, fd, blob, blob_len);
  if (failed != nullptr)
    return report_error(SCOPE_KEYRING_STORE, "%s", failed);
  // The blob must be on the flash before a partition is formatted with its
  // key; raw MTD writes are synchronous already.
  if (fsync(fd) != 0)
    return report_error(SCOPE_KEYRING_STORE, "sync keyring device");
  return 0;
}

}  // namespace

int keyring_store(keyring_location *primary, const uint8_t *blob, uint32_t blob_len)
{
  // Behind the U-Boot environment lies a copy for reading, never written.
  if (primary->keydev == nullptr || primary->source != KEYRING_PRIMARY)
    return report_error(SCOPE_KEYRING_STORE, "not the keyring partition");

  int fd = open(primary->keydev, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    report_error(SCOPE_KEYRING_STORE, "open keyring device");
    return fd;
  }
  int result = primary->keydev_is_mtd != 0 ? store_on_flash(primary, fd, blob, blob_len)
                                           : store_on_image(primary, fd, blob, blob_len);
  close(fd);
  return result;
}

namespace {

// How long an open waits for a run that rewrites the keyring.
constexpr long KEYRING_WAIT_MS = 30L * 1000;

// Two runs that write would otherwise interleave: erase and program on NAND
// (leaving the AND of both blobs), or one run's store between the other's
// store and its format, leaving the volume on one key and the flash on
// another. A run that only reads waits for a while only, since a stopped
// writer must not hang every boot.
bool take_lock(int fd, keyring_lock_mode mode)
{
  if (mode == KEYRING_SHARED)
    return wait_for_lock(fd, LOCK_SH, KEYRING_WAIT_MS) == 0;
  int locked;
  do
    locked = flock(fd, LOCK_EX);
  while (locked != 0 && errno == EINTR);
  return locked == 0;
}

}  // namespace

keyring_lock_result lock_keyring(keyring_location *primary, keyring_lock_mode mode)
{
  if (primary->lock_fd >= 0)
    return LOCK_HELD;
  if (primary->keydev == nullptr || primary->source != KEYRING_PRIMARY)
    return LOCK_REFUSED;
  // flock belongs to the open file: a second flock in this process, on
  // another descriptor, would wait on this one.
  const int fd = open(primary->keydev, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return LOCK_NO_DEVICE;
  if (!take_lock(fd, mode)) {
    close(fd);
    return LOCK_REFUSED;
  }
  primary->lock_fd = fd;
  return LOCK_HELD;
}
