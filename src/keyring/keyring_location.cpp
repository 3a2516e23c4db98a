// SPDX-License-Identifier: MIT
#include "keyring/keyring_location.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "keyring/location_parsers.h"
#include "util/report.h"

keyring_location_record keyring_location = {nullptr, 0, 0};

namespace {

// /dev/mmcblk and a number without leading zeros: the path goes into a shell
// command and a format string as it is, and its partitions are <disk>pN.
constexpr bool is_mmc_disk(const char *path)
{
  const char prefix[] = "/dev/mmcblk";
  for (size_t i = 0; prefix[i] != '\0'; i++)
    if (path[i] != prefix[i])
      return false;
  const char *number = path + sizeof(prefix) - 1;
  if (*number < '0' || *number > '9' || (*number == '0' && number[1] != '\0'))
    return false;
  for (const char *c = number; *c != '\0'; c++)
    if (*c < '0' || *c > '9')
      return false;
  return true;
}
static_assert(is_mmc_disk(LOCKWARDEN_MMC_DISK), "LOCKWARDEN_MMC_DISK must be /dev/mmcblkN");

// The disk's name under /sys/class/block, such as mmcblk0.
constexpr const char *MMC_DISK_NAME = &LOCKWARDEN_MMC_DISK[sizeof("/dev/") - 1];

// Room for the uevent path of any partition of the disk.
constexpr size_t UEVENT_PATH_LEN = 96;
static_assert(sizeof("/sys/class/block/") - 1 + sizeof(LOCKWARDEN_MMC_DISK) - sizeof("/dev/") +
                      sizeof("p2147483647/uevent") - 1 < UEVENT_PATH_LEN,
              "the uevent path of every partition of LOCKWARDEN_MMC_DISK fits");

}  // namespace

int check_cmdline_for_nand()
{
  FILE *cmdline = fopen(CMDLINE_PATH, "re");
  if (cmdline == nullptr) {
    report_error(SCOPE_CHECK_CMDLINE, "Failed to open '%s'", CMDLINE_PATH);
    return LOCATION_SOURCE_MISSING;
  }
  // Boot loaders pass long lines (mtdparts= alone can fill hundreds of
  // characters): the root= word may stand anywhere in it.
  char *line = nullptr;
  size_t size = 0;
  const ssize_t length = getline(&line, &size, cmdline);
  (void)fclose(cmdline);
  const int result = length > 0 ? parse_cmdline_root(line) : LOCATION_SOURCE_MISSING;
  free(line);
  return result;
}

namespace {

int find_safe_mtd_partition()
{
  FILE *table = fopen(MTD_TABLE_PATH, "re");
  if (table == nullptr) {
    report_error(SCOPE_INIT_KEYDEV, "Failed to open %s", MTD_TABLE_PATH);
    return LOCATION_SOURCE_MISSING;
  }
  char line[LOCATION_LINE_LEN];
  while (fgets(line, sizeof(line), table) != nullptr) {
    char *device = nullptr;
    if (parse_mtd_line(line, &device)) {
      char *path = nullptr;
      if (asprintf(&path, "/dev/%s", device) >= 0) {
        keyring_location.keydev = path;
        keyring_location.offset = 0;
      }
      free(device);
      break;
    }
  }
  (void)fclose(table);
  return 0;
}

// The line ends where the stream stands: its newline or the end comes next.
bool line_ends_here(FILE *stream)
{
  int c = fgetc(stream);
  if (c == EOF)
    return true;
  (void)ungetc(c, stream);
  return c == '\n';
}

// The name the kernel read from the partition table, for boards whose fdisk
// prints no GPT names (util-linux, BusyBox without GPT support) or that have
// no fdisk at all.
bool partition_named_safe(const char *partition)
{
  char path[UEVENT_PATH_LEN];
  if (snprintf(path, sizeof(path), "%s/%s/uevent", SYSFS_BLOCK_PATH, partition) >= static_cast<int>(sizeof(path)))
    return false;
  FILE *uevent = fopen(path, "re");
  if (uevent == nullptr)
    return false;
  char line[LOCATION_LINE_LEN];
  bool named_safe = false;
  bool at_line_start = true;
  while (!named_safe && fgets(line, sizeof(line), uevent) != nullptr) {
    const bool starts_line = at_line_start;
    at_line_start = strchr(line, '\n') != nullptr;
    named_safe = starts_line && (strcmp(line, "PARTNAME=safe\n") == 0 ||
                                 (strcmp(line, "PARTNAME=safe") == 0 && line_ends_here(uevent)));
  }
  (void)fclose(uevent);
  return named_safe;
}

// The number N of the disk's partition entry (mmcblk0pN), or 0 for any other
// entry, partitions of other disks included.
unsigned long emmc_partition_number(const char *entry)
{
  const size_t disk_len = strlen(MMC_DISK_NAME);
  if (strncmp(entry, MMC_DISK_NAME, disk_len) != 0 || entry[disk_len] != 'p' || entry[disk_len + 1] < '1' ||
      entry[disk_len + 1] > '9')
    return 0;
  char *end = nullptr;
  unsigned long number = strtoul(entry + disk_len + 1, &end, 10);
  return *end == '\0' && number <= INT_MAX ? number : 0;
}

// Every partition of the eMMC the kernel knows, in any numbering (a GPT may
// hold p4 without p3): the lowest number named `safe` wins.
void find_safe_emmc_partition_in_sysfs()
{
  DIR *block = opendir(SYSFS_BLOCK_PATH);
  if (block == nullptr)
    return;
  unsigned long lowest = 0;
  const dirent *entry;
  // cppcheck-suppress readdirCalled ; single-threaded, and readdir_r is deprecated in glibc
  while ((entry = readdir(block)) != nullptr) {
    unsigned long number = emmc_partition_number(entry->d_name);
    if (number != 0 && (lowest == 0 || number < lowest) && partition_named_safe(entry->d_name))
      lowest = number;
  }
  (void)closedir(block);

  char *path = nullptr;
  if (lowest != 0 && asprintf(&path, "%sp%lu", MMC_DISK, lowest) >= 0) {
    keyring_location.keydev = path;
    keyring_location.offset = 0;
  }
}

int find_safe_emmc_partition()
{
  FILE *listing = popen(FDISK_COMMAND, "r");
  if (listing == nullptr) {
    report_error(SCOPE_INIT_KEYDEV, "Failed to execute '%s'", FDISK_COMMAND);
    return LOCATION_SOURCE_MISSING;
  }
  char line[LOCATION_LINE_LEN];
  bool at_line_start = true;
  fdisk_layout layout = FDISK_NO_HEADER;
  while (fgets(line, sizeof(line), listing) != nullptr) {
    // A name longer than the buffer arrives in pieces: a piece that neither
    // starts nor ends its line could end in "safe" while the name goes on.
    const bool starts_line = at_line_start;
    at_line_start = strchr(line, '\n') != nullptr;
    if (!starts_line || (!at_line_start && !line_ends_here(listing)))
      continue;
    int partition = 0;
    if (parse_fdisk_line(line, &layout, &partition)) {
      char *path = nullptr;
      if (asprintf(&path, "%sp%d", MMC_DISK, partition) >= 0) {
        keyring_location.keydev = path;
        keyring_location.offset = 0;
      }
      break;
    }
  }
  pclose(listing);
  if (keyring_location.keydev == nullptr)
    find_safe_emmc_partition_in_sysfs();
  return 0;
}

}  // namespace

int init_keydev_and_offset()
{
  int is_nand = check_cmdline_for_nand();
  keyring_location.keydev_is_mtd = is_nand;
  if (is_nand < 0)
    return is_nand;

  int result = is_nand == 1 ? find_safe_mtd_partition() : find_safe_emmc_partition();
  if (result != 0)
    return result;
  return keyring_location.keydev != nullptr ? 0 : -1;
}

int get_keydev_and_offset_from_fwenv()
{
  FILE *config = fopen(FW_ENV_CONFIG_PATH, "re");
  if (config == nullptr) {
    report_error(SCOPE_FWENV, "Failed to open %s", FW_ENV_CONFIG_PATH);
    return LOCATION_SOURCE_MISSING;
  }

  uint64_t device_offset = 0;
  uint64_t env_size = 0;
  int accepted = 0;
  char line[LOCATION_LINE_LEN];
  bool at_line_start = true;
  // With a redundant environment the second copy is the one the key sits behind.
  while (accepted < 2 && fgets(line, sizeof(line), config) != nullptr) {
    // A line longer than the buffer never counts, and no piece of it: the
    // tail of a long comment is no entry.
    const bool starts_line = at_line_start;
    at_line_start = strchr(line, '\n') != nullptr;
    if (!starts_line || (!at_line_start && !line_ends_here(config)))
      continue;
    char *device = nullptr;
    if (!parse_fwenv_line(line, &device, &device_offset, &env_size))
      continue;
    free(keyring_location.keydev);
    keyring_location.keydev = device;
    accepted++;
  }
  (void)fclose(config);

  keyring_location.offset = device_offset + env_size;
  if (keyring_location.keydev != nullptr && strstr(keyring_location.keydev, "/dev/mtd") != nullptr)
    keyring_location.keydev_is_mtd = 1;
  return 0;
}

void free_keydev()
{
  free(keyring_location.keydev);
  keyring_location.keydev = nullptr;
}

namespace {

// The same device node (block or character, by device number) or the same
// file; a path that does not exist is the same as nothing.
bool same_node(const char *a, const char *b)
{
  struct stat first;
  struct stat second;
  if (stat(a, &first) != 0 || stat(b, &second) != 0)
    return false;
  const mode_t type = first.st_mode & S_IFMT;
  if (type != (second.st_mode & S_IFMT))
    return false;
  if (type == S_IFBLK || type == S_IFCHR)
    return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool all_digits(const char *text)
{
  if (*text == '\0')
    return false;
  for (; *text != '\0'; text++)
    if (*text < '0' || *text > '9')
      return false;
  return true;
}

// Another name of the keyring's storage: the block twin of a raw MTD device,
// the raw twin of an MTD block device, or the disk of an eMMC partition.
bool other_name(const char *keydev, char *name, size_t size)
{
  static const char MTDBLOCK[] = "/dev/mtdblock";
  static const char MTD[] = "/dev/mtd";
  if (strncmp(keydev, MTDBLOCK, strlen(MTDBLOCK)) == 0 && all_digits(keydev + strlen(MTDBLOCK)))
    return snprintf(name, size, "%s%s", MTD, keydev + strlen(MTDBLOCK)) < static_cast<int>(size);
  if (strncmp(keydev, MTD, strlen(MTD)) == 0 && all_digits(keydev + strlen(MTD)))
    return snprintf(name, size, "%s%s", MTDBLOCK, keydev + strlen(MTD)) < static_cast<int>(size);
  static const char MMCBLK[] = "/dev/mmcblk";
  if (strncmp(keydev, MMCBLK, strlen(MMCBLK)) != 0)
    return false;
  const char *disk_number = keydev + strlen(MMCBLK);
  const char *p = disk_number;
  while (*p >= '0' && *p <= '9')
    p++;
  if (p == disk_number || *p != 'p' || !all_digits(p + 1))
    return false;
  const int length = static_cast<int>(p - keydev);
  return snprintf(name, size, "%.*s", length, keydev) < static_cast<int>(size);
}

}  // namespace

int holds_keyring(const char *device)
{
  const char *keydev = keyring_location.keydev;
  if (device == nullptr || keydev == nullptr)
    return 0;
  if (strcmp(device, keydev) == 0 || same_node(device, keydev))
    return 1;
  char other[64];
  if (other_name(keydev, other, sizeof(other)) && (strcmp(device, other) == 0 || same_node(device, other)))
    return 1;
  return 0;
}
