// SPDX-License-Identifier: MIT
#pragma once

constexpr const char *SYSFS_BLOCK_PATH = "/sys/class/block";

// The `safe` partition of an eMMC disk (/dev/mmcblkN), the disk given as a
// value: found in the fdisk listing of the disk, else by the partition names
// the kernel read from its GPT (sysfs). 0, with `keydev` set to the allocated
// path <disk>pN or left null when no partition is named `safe`; or -1 after
// its line when fdisk cannot be started.
[[nodiscard]] int find_safe_emmc_partition(const char *disk, char **keydev);
