// SPDX-License-Identifier: MIT
#include "keyring/keyring_location.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "keyring/emmc_partition.h"
#include "keyring/location_parsers.h"
#include "util/io.h"
#include "util/report.h"

namespace {

// The first line of /proc/cmdline, whole (boot loaders pass long lines:
// mtdparts= alone can fill hundreds of characters), allocated for the
// caller to free; or null and LOCATION_SOURCE_MISSING, after the line where
// the file cannot be opened.
int read_cmdline(char **line)
{
  *line = nullptr;
  FILE *cmdline = fopen(CMDLINE_PATH, "re");
  if (cmdline == nullptr) {
    report_error(SCOPE_CHECK_CMDLINE, "Failed to open '%s'", CMDLINE_PATH);
    return LOCATION_SOURCE_MISSING;
  }
  size_t size = 0;
  const ssize_t length = getline(line, &size, cmdline);
  (void)fclose(cmdline);
  if (length > 0)
    return 0;
  free(*line);
  *line = nullptr;
  return LOCATION_SOURCE_MISSING;
}

// The disk the command line `line` names, or the build's. A value that is
// no eMMC disk never reaches a command or a path.
int mmc_disk_of(const char *line, char (&disk)[MMC_DISK_LEN])
{
  const char *value = nullptr;
  size_t length = 0;
  if (cmdline_value(line, MMC_DISK_WORD, &value, &length) == 0) {
    value = MMC_DISK;
    length = strlen(MMC_DISK);
  }
  disk[0] = '\0';
  if (!is_mmc_disk(value, length))
    return report_error(SCOPE_INIT_KEYDEV, "%s=%.*s is not an eMMC disk", MMC_DISK_WORD, static_cast<int>(length),
                        value);
  memcpy(disk, value, length);
  disk[length] = '\0';
  return 0;
}

}  // namespace

int check_cmdline_for_nand()
{
  char *line = nullptr;
  const int result = read_cmdline(&line) == 0 ? parse_cmdline_root(line) : LOCATION_SOURCE_MISSING;
  free(line);
  return result;
}

int get_mmc_disk(char (&disk)[MMC_DISK_LEN])
{
  char *line = nullptr;
  disk[0] = '\0';
  const int result = read_cmdline(&line) == 0 ? mmc_disk_of(line, disk) : LOCATION_SOURCE_MISSING;
  free(line);
  return result;
}

namespace {

int find_safe_mtd_partition(keyring_location *primary)
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
      if (asprintf(&primary->keydev, "/dev/%s", device) < 0)
        primary->keydev = nullptr;
      free(device);
      break;
    }
  }
  (void)fclose(table);
  return 0;
}

// The fallback starts where the primary stands, as the one record of a run
// once did: U-Boot's configuration only moves it.
void start_from(const keyring_location *primary, keyring_location *fallback)
{
  fallback->keydev = primary->keydev != nullptr ? strdup(primary->keydev) : nullptr;
  fallback->offset = primary->offset;
  fallback->keydev_is_mtd = primary->keydev_is_mtd;
  fallback->source = KEYRING_FALLBACK;
  fallback->lock_fd = -1;
}

}  // namespace

int init_keydev_and_offset(keyring_location *primary)
{
  char *line = nullptr;
  int result = read_cmdline(&line);
  const int is_nand = result == 0 ? parse_cmdline_root(line) : result;
  primary->keydev_is_mtd = is_nand;
  primary->offset = 0;
  primary->source = KEYRING_PRIMARY;
  char disk[MMC_DISK_LEN];
  if (is_nand < 0)
    result = is_nand;
  else if (is_nand == 1)
    result = find_safe_mtd_partition(primary);
  else if (mmc_disk_of(line, disk) != 0)
    result = -1;
  else if (find_safe_emmc_partition(disk, &primary->keydev) != 0)
    result = LOCATION_SOURCE_MISSING;
  free(line);
  if (result != 0)
    return result;
  return primary->keydev != nullptr ? 0 : -1;
}

int get_keydev_and_offset_from_fwenv(const keyring_location *primary, keyring_location *fallback)
{
  FILE *config = fopen(FW_ENV_CONFIG_PATH, "re");
  start_from(primary, fallback);
  if (config == nullptr) {
    report_error(SCOPE_FWENV, "Failed to open %s", FW_ENV_CONFIG_PATH);
    return LOCATION_SOURCE_MISSING;
  }

  uint64_t device_offset = 0;
  uint64_t env_size = 0;
  int accepted = 0;
  char line[LOCATION_LINE_LEN];
  bool at_line_start = true;
  // With a redundant environment the second copy is the one the key sits
  // behind. A line longer than the buffer never counts, and no piece of it:
  // the tail of a long comment is no entry.
  while (accepted < 2 && next_whole_line(config, line, sizeof(line), &at_line_start)) {
    char *device = nullptr;
    if (!parse_fwenv_line(line, &device, &device_offset, &env_size))
      continue;
    free(fallback->keydev);
    fallback->keydev = device;
    accepted++;
  }
  (void)fclose(config);

  fallback->offset = device_offset + env_size;
  if (fallback->keydev != nullptr && strstr(fallback->keydev, "/dev/mtd") != nullptr)
    fallback->keydev_is_mtd = 1;
  return 0;
}

void free_keydev(keyring_location *location)
{
  free(location->keydev);
  location->keydev = nullptr;
  if (location->lock_fd >= 0)
    close(location->lock_fd);
  location->lock_fd = -1;
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

int holds_keyring(const keyring_location *location, const char *device)
{
  const char *keydev = location->keydev;
  if (device == nullptr || keydev == nullptr)
    return 0;
  if (strcmp(device, keydev) == 0 || same_node(device, keydev))
    return 1;
  char other[64];
  static_assert(sizeof(other) >= MMC_DISK_LEN, "the whole disk of every eMMC partition the program names fits");
  if (other_name(keydev, other, sizeof(other)) && (strcmp(device, other) == 0 || same_node(device, other)))
    return 1;
  return 0;
}
