// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Where the key blob lives. `keydev` is null until the location is known.
struct keyring_location_record {
  char *keydev;
  uint64_t offset;
  int keydev_is_mtd;
};

extern keyring_location_record keyring_location;

// The result when a source of the location (/proc/cmdline, /proc/mtd, the
// fdisk command, fw_env.config) cannot be opened, run or read.
constexpr int LOCATION_SOURCE_MISSING = -5;

constexpr const char *CMDLINE_PATH = "/proc/cmdline";
constexpr const char *MTD_TABLE_PATH = "/proc/mtd";
constexpr const char *FW_ENV_CONFIG_PATH = "/etc/fw_env.config";
// The eMMC disk that holds the `safe` partition, chosen at build time.
constexpr const char *MMC_DISK = LOCKWARDEN_MMC_DISK;
constexpr const char *FDISK_COMMAND = "/sbin/fdisk -l " LOCKWARDEN_MMC_DISK;
constexpr const char *SYSFS_BLOCK_PATH = "/sys/class/block";

[[nodiscard]] int check_cmdline_for_nand();
[[nodiscard]] int init_keydev_and_offset();
int get_keydev_and_offset_from_fwenv();
void free_keydev();

// 1 when writing to `device` would overwrite the keyring area at the current
// location: the keyring device itself, its raw or block twin (/dev/mtdN and
// /dev/mtdblockN) or the whole disk holding the partition (/dev/mmcblkN for
// /dev/mmcblkNpM), by name or as the same node or file; else 0.
[[nodiscard]] int holds_keyring(const char *device);
