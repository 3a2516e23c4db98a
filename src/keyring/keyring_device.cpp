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

#include "keyring/keyring_location.h"
#include "util/io.h"
#include "util/secure_wipe.h"

int get_mtd_erasesize(int fd)
{
  mtd_info_user info;
  memset(&info, 0, sizeof(info));
  int result = ioctl(fd, MEMGETINFO, &info);
  if (result != 0)
    return result;
  return static_cast<int>(info.erasesize);
}

int get_mtd_writesize(int fd)
{
  mtd_info_user info;
  memset(&info, 0, sizeof(info));
  int result = ioctl(fd, MEMGETINFO, &info);
  if (result != 0)
    return result;
  return static_cast<int>(info.writesize);
}

int is_bad_block(int fd)
{
  while (true) {
    loff_t block_offset = static_cast<loff_t>(keyring_location.offset);
    int bad = ioctl(fd, MEMGETBADBLOCK, &block_offset);
    int erasesize = get_mtd_erasesize(fd);
    // An erase size of 0 would never move past a bad block, and would let a
    // store program a page it never erased.
    if (erasesize <= 0) {
      printf("[ERROR] %s: Failed to get mtd info\n", __func__);
      return erasesize < 0 ? erasesize : -1;
    }
    if (bad == 0)
      return 0;
    if (bad < 0)
      return -1;
    printf("Skipping bad block\n");
    keyring_location.offset += static_cast<uint64_t>(erasesize);
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
int prepare_flash_page(int fd, const uint8_t *blob, uint32_t blob_len, flash_page *page)
{
  int erasesize = get_mtd_erasesize(fd);
  if (erasesize < 0) {
    printf("[ERROR] %s: Failed to get mtd info\n", "keyring_store");
    return erasesize;
  }
  int writesize = get_mtd_writesize(fd);
  if (writesize < 0 || static_cast<uint32_t>(writesize) < blob_len) {
    printf("[ERROR] %s: Invalid size %d\n", "keyring_store", writesize);
    return writesize < 0 ? writesize : -22;
  }
  page->bytes = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(writesize)));
  if (page->bytes == nullptr) {
    printf("[ERROR] %s: Memory allocation error\n", "keyring_store");
    return -12;
  }
  page->size = static_cast<size_t>(writesize);
  memcpy(page->bytes, blob, blob_len);

  int scan = is_bad_block(fd);
  if (scan != 0)
    return scan;
  page->block.start = static_cast<uint32_t>(keyring_location.offset);
  page->block.length = static_cast<uint32_t>(erasesize);
  (void)ioctl(fd, MEMUNLOCK, &page->block);  // flash without lock support refuses; harmless
  return 0;
}

// The error line's subject when the seek or the write fails, else nullptr.
const char *write_at_offset(int fd, const void *data, size_t count)
{
  if (lseek(fd, static_cast<off_t>(keyring_location.offset), SEEK_SET) == static_cast<off_t>(-1))
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
int rewrite_flash_block(int fd, const flash_page &page)
{
  erase_info_user block = page.block;
  sigset_t stopping;
  sigset_t previous;
  sigfillset(&stopping);

  (void)sigprocmask(SIG_BLOCK, &stopping, &previous);
  if (ioctl(fd, MEMERASE, &block) != 0) {
    const int error = errno;
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
    printf("[ERROR] %s: MTD erase error: %s\n", "keyring_store", strerror(error));
    return -1;
  }
  const char *failed = write_at_offset(fd, page.bytes, page.size);
  if (failed == nullptr) {
    (void)ioctl(fd, MEMLOCK, &block);
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
    return 0;
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  printf("[ERROR] %s: %s\n", "keyring_store", failed);
  (void)ioctl(fd, MEMLOCK, &block);
  return -1;
}

int store_on_flash(int fd, const uint8_t *blob, uint32_t blob_len)
{
  flash_page page;
  memset(&page, 0, sizeof(page));
  int result = prepare_flash_page(fd, blob, blob_len, &page);
  if (result == 0)
    result = rewrite_flash_block(fd, page);
  release_secret(page.bytes, page.size);
  return result;
}

int store_on_image(int fd, const uint8_t *blob, uint32_t blob_len)
{
  const char *failed = write_at_offset(fd, blob, blob_len);
  if (failed != nullptr) {
    printf("[ERROR] %s: %s\n", "keyring_store", failed);
    return -1;
  }
  // The blob must be on the flash before a partition is formatted with its
  // key; raw MTD writes are synchronous already.
  if (fsync(fd) != 0) {
    printf("[ERROR] %s: sync keyring device\n", "keyring_store");
    return -1;
  }
  return 0;
}

}  // namespace

int keyring_store(const uint8_t *blob, uint32_t blob_len)
{
  if (keyring_location.keydev == nullptr) {
    int result = init_keydev_and_offset();
    if (result != 0)
      return result;
  }

  int fd = open(keyring_location.keydev, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    printf("[ERROR] %s: open keyring device\n", __func__);
    return fd;
  }
  int result = keyring_location.keydev_is_mtd != 0 ? store_on_flash(fd, blob, blob_len)
                                                   : store_on_image(fd, blob, blob_len);
  close(fd);
  return result;
}

namespace {

// The keyring lock of this run, held until the process exits; -1: none.
int held_keyring = -1;
bool held_exclusive = false;

// How long an open waits for a run that rewrites the keyring.
constexpr long KEYRING_WAIT_MS = 30L * 1000;

}  // namespace

int lock_keyring()
{
  // Two runs that write would otherwise interleave: erase and program on
  // NAND (leaving the AND of both blobs), or one run's store between the
  // other's store and its format, leaving the volume on one key and the
  // flash on another. flock belongs to the open file: a second flock in this
  // process, on another descriptor, would wait on this one.
  if (held_keyring >= 0 && held_exclusive)
    return 0;
  int fd = held_keyring;
  if (fd < 0 && keyring_location.keydev != nullptr)
    fd = open(keyring_location.keydev, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  int locked;
  do
    locked = flock(fd, LOCK_EX);
  while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    if (fd != held_keyring)
      close(fd);
    return -1;
  }
  held_keyring = fd;
  held_exclusive = true;
  return 0;
}

int wait_for_keyring()
{
  if (held_keyring >= 0)
    return 0;
  if (keyring_location.keydev == nullptr)
    return -1;
  int fd = open(keyring_location.keydev, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return 1;
  if (wait_for_lock(fd, LOCK_SH, KEYRING_WAIT_MS) != 0) {
    close(fd);
    return -1;
  }
  held_keyring = fd;
  return 0;
}
