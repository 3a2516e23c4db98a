// SPDX-License-Identifier: MIT
#include "keyring/emmc_partition.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include "keyring/location_parsers.h"
#include "util/io.h"
#include "util/report.h"

namespace {

static_assert(is_mmc_disk(LOCKWARDEN_MMC_DISK, sizeof(LOCKWARDEN_MMC_DISK) - 1),
              "LOCKWARDEN_MMC_DISK must be /dev/mmcblkN, N of at most three digits");

// Room for the listing command and for the uevent path of any partition of
// any disk a board may name.
constexpr size_t PATH_LEN = 96;
static_assert(sizeof("/sbin/fdisk -l ") + MMC_DISK_LEN - 1 <= PATH_LEN, "the listing command of every disk fits");
static_assert(sizeof("/sys/class/block/") - 1 + MMC_DISK_LEN - sizeof("/dev/") + sizeof("p2147483647/uevent") <=
                  PATH_LEN,
              "the uevent path of every partition of every disk fits");

// The name the kernel read from the partition table, for boards whose fdisk
// prints no GPT names (util-linux, BusyBox without GPT support) or that have
// no fdisk at all.
bool partition_named_safe(const char *partition)
{
  char path[PATH_LEN];
  if (snprintf(path, sizeof(path), "%s/%s/uevent", SYSFS_BLOCK_PATH, partition) >= static_cast<int>(sizeof(path)))
    return false;
  FILE *uevent = fopen(path, "re");
  if (uevent == nullptr)
    return false;
  char line[LOCATION_LINE_LEN];
  bool named_safe = false;
  bool at_line_start = true;
  while (!named_safe && next_whole_line(uevent, line, sizeof(line), &at_line_start))
    named_safe = strcmp(line, "PARTNAME=safe\n") == 0 || strcmp(line, "PARTNAME=safe") == 0;
  (void)fclose(uevent);
  return named_safe;
}

// The number N of the disk's partition entry (mmcblk0pN), or 0 for any other
// entry, partitions of other disks included.
unsigned long partition_number(const char *disk_name, const char *entry)
{
  const size_t disk_len = strlen(disk_name);
  if (strncmp(entry, disk_name, disk_len) != 0 || entry[disk_len] != 'p' || entry[disk_len + 1] < '1' ||
      entry[disk_len + 1] > '9')
    return 0;
  char *end = nullptr;
  unsigned long number = strtoul(entry + disk_len + 1, &end, 10);
  return *end == '\0' && number <= INT_MAX ? number : 0;
}

// Every partition of the disk the kernel knows, in any numbering (a GPT may
// hold p4 without p3): the lowest number named `safe`, or 0.
unsigned long safe_partition_in_sysfs(const char *disk)
{
  DIR *block = opendir(SYSFS_BLOCK_PATH);
  if (block == nullptr)
    return 0;
  const char *disk_name = disk + strlen("/dev/");
  unsigned long lowest = 0;
  const dirent *entry;
  // cppcheck-suppress readdirCalled ; single-threaded, and readdir_r is deprecated in glibc
  while ((entry = readdir(block)) != nullptr) {
    unsigned long number = partition_number(disk_name, entry->d_name);
    if (number != 0 && (lowest == 0 || number < lowest) && partition_named_safe(entry->d_name))
      lowest = number;
  }
  (void)closedir(block);
  return lowest;
}

}  // namespace

int find_safe_emmc_partition(const char *disk, char **keydev)
{
  char command[PATH_LEN];
  FILE *listing = nullptr;
  if (snprintf(command, sizeof(command), "/sbin/fdisk -l %s", disk) < static_cast<int>(sizeof(command)))
    listing = popen(command, "r");
  if (listing == nullptr) {
    return report_error(SCOPE_INIT_KEYDEV, "Failed to execute '/sbin/fdisk -l %s'", disk);
  }
  // A name longer than the buffer arrives in pieces: a piece that neither
  // starts nor ends its line could end in "safe" while the name goes on.
  char line[LOCATION_LINE_LEN];
  bool at_line_start = true;
  fdisk_layout layout = FDISK_NO_HEADER;
  int listed = 0;
  bool found = false;
  while (!found && next_whole_line(listing, line, sizeof(line), &at_line_start))
    found = parse_fdisk_line(line, &layout, &listed) != 0;
  pclose(listing);
  const unsigned long named = found ? 0 : safe_partition_in_sysfs(disk);
  if ((found && asprintf(keydev, "%sp%d", disk, listed) < 0) || (named != 0 && asprintf(keydev, "%sp%lu", disk, named) < 0))
    *keydev = nullptr;
  return 0;
}
