// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

constexpr const char *SYSFS_BLOCK_PATH = "/sys/class/block";

// Room for the longest eMMC disk path a board may name, and its NUL.
constexpr size_t MMC_DISK_LEN = sizeof("/dev/mmcblk999");

// The `length` characters at `path` name an eMMC disk: /dev/mmcblk and a
// number of at most three digits without leading zeros. Only such a disk
// goes into the shell command that lists it and into the names of its
// partitions, <disk>pN.
constexpr bool is_mmc_disk(const char *path, size_t length)
{
  const char prefix[] = "/dev/mmcblk";
  const size_t prefix_len = sizeof(prefix) - 1;
  if (length <= prefix_len || length >= MMC_DISK_LEN)
    return false;
  for (size_t i = 0; i < prefix_len; i++)
    if (path[i] != prefix[i])
      return false;
  if (path[prefix_len] == '0' && length > prefix_len + 1)
    return false;
  for (size_t i = prefix_len; i < length; i++)
    if (path[i] < '0' || path[i] > '9')
      return false;
  return true;
}

// The `safe` partition of an eMMC disk (/dev/mmcblkN), the disk given as a
// value: found in the fdisk listing of the disk, else by the partition names
// the kernel read from its GPT (sysfs). 0, with `keydev` set to the allocated
// path <disk>pN or left null when no partition is named `safe`; or -1 after
// its line when fdisk cannot be started.
[[nodiscard]] int find_safe_emmc_partition(const char *disk, char **keydev);
