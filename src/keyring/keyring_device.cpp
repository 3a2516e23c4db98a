#include "keyring/keyring_device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// The page buffer carries the key blob: wiped before it is released.
void release_page(uint8_t *page, size_t size)
{
  if (page == nullptr)
    return;
  secure_wipe(page, size);
  free(page);
}

// Everything past the open: the caller closes the device.
int store_on_open_device(int fd, const uint8_t *blob, uint32_t blob_len)
{
  const uint8_t *data = blob;
  size_t count = blob_len;
  uint8_t *page = nullptr;
  erase_info_user erase;
  memset(&erase, 0, sizeof(erase));
  const bool raw_flash = keyring_location.keydev_is_mtd != 0;

  if (raw_flash) {
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
    page = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(writesize)));
    if (page == nullptr) {
      printf("[ERROR] %s: Memory allocation error\n", "keyring_store");
      return -12;
    }
    memcpy(page, blob, blob_len);

    int scan = is_bad_block(fd);
    if (scan != 0) {
      release_page(page, static_cast<size_t>(writesize));
      return scan;
    }
    erase.start = static_cast<uint32_t>(keyring_location.offset);
    erase.length = static_cast<uint32_t>(erasesize);
    (void)ioctl(fd, MEMUNLOCK, &erase);  // flash without lock support refuses; harmless
    int erased = ioctl(fd, MEMERASE, &erase);
    if (erased != 0) {
      printf("[ERROR] %s: MTD erase error: %s\n", "keyring_store", strerror(errno));
      release_page(page, static_cast<size_t>(writesize));
      return erased;
    }
    data = page;
    count = static_cast<size_t>(writesize);
  }

  int result;
  if (lseek(fd, static_cast<off_t>(keyring_location.offset), SEEK_SET) == static_cast<off_t>(-1)) {
    printf("[ERROR] %s: lseek keyring\n", "keyring_store");
    result = -1;
  } else {
    result = complete_write(fd, data, count);
    if (result < 0) {
      printf("[ERROR] %s: write key blob\n", "keyring_store");
    } else if (!raw_flash && fsync(fd) != 0) {
      // The blob must be on the flash before a partition is formatted with
      // its key; raw MTD writes are synchronous already.
      printf("[ERROR] %s: sync keyring device\n", "keyring_store");
      result = -1;
    }
  }

  if (raw_flash && erase.length != 0)
    (void)ioctl(fd, MEMLOCK, &erase);
  if (raw_flash)
    release_page(page, count);
  return result;
}

}  // namespace

int keyring_store(const uint8_t *blob, uint32_t blob_len)
{
  if (keyring_location.keydev == nullptr) {
    int result = init_keydev_and_offset();
    if (result != 0)
      return result;
  }

  int fd = open(keyring_location.keydev, O_RDWR);
  if (fd < 0) {
    printf("[ERROR] %s: open keyring device\n", __func__);
    return fd;
  }
  int result = store_on_open_device(fd, blob, blob_len);
  close(fd);
  return result;
}
