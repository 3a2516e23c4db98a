// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "keyring/emmc_partition.h"

// Which place a location stands for: the start of the `safe` partition, or
// the copy behind the U-Boot environment, which is only ever read.
enum keyring_source { KEYRING_PRIMARY, KEYRING_FALLBACK };

// Where a key blob lives: one record per place, owned by the caller, who
// passes it on and releases it with free_keydev.
struct keyring_location {
  char *keydev = nullptr;  // owned; null: not found (yet)
  uint64_t offset = 0;     // moved past bad blocks by is_bad_block
  int keydev_is_mtd = 0;   // raw NAND: erase, relock, skip bad blocks
  keyring_source source = KEYRING_PRIMARY;
  int lock_fd = -1;  // the descriptor holding the run's flock (a primary's only), or -1
};

// The result when a source of the location (/proc/cmdline, /proc/mtd, the
// fdisk command, fw_env.config) cannot be opened, run or read.
constexpr int LOCATION_SOURCE_MISSING = -5;

constexpr const char *CMDLINE_PATH = "/proc/cmdline";
constexpr const char *MTD_TABLE_PATH = "/proc/mtd";
constexpr const char *FW_ENV_CONFIG_PATH = "/etc/fw_env.config";
// The eMMC disk that holds the `safe` partition, chosen at build time, and
// the kernel command-line word by which a board names another.
constexpr const char *MMC_DISK = LOCKWARDEN_MMC_DISK;
constexpr const char *MMC_DISK_WORD = "lockwarden.disk";

// 1: the root device on the kernel command line is on UBI or MTD (a NAND
// board); 0: it is not; -1: no root= word; LOCATION_SOURCE_MISSING.
[[nodiscard]] int check_cmdline_for_nand();

// The eMMC disk that holds this run's `safe` partition, whatever root= says:
// the value of the last lockwarden.disk= word of /proc/cmdline (split and
// unquoted as the kernel does it), else the build's MMC_DISK. 0 with `disk`
// set to it. -1 when the word names no eMMC disk (is_mmc_disk), after the
// line "[ERROR] init_keydev_and_offset: lockwarden.disk=VALUE is not an eMMC
// disk"; LOCATION_SOURCE_MISSING when /proc/cmdline cannot be read (after
// its line where it cannot be opened). `disk` is empty on failure.
[[nodiscard]] int get_mmc_disk(char (&disk)[MMC_DISK_LEN]);

// Fills the empty `primary` with the `safe` partition, on the board's NAND or
// eMMC as the command line says (on eMMC, of the disk get_mmc_disk gives; a
// NAND board never looks at the disk word): 0, or -1 (none found) or
// LOCATION_SOURCE_MISSING after the lines of what failed, `keydev` then null.
[[nodiscard]] int init_keydev_and_offset(keyring_location *primary);

// Fills the empty `fallback` with the place behind the U-Boot environment
// copy that /etc/fw_env.config describes last of two. It starts as a copy of
// `primary`, whose device stays where no line of the file is accepted (at
// offset 0) and whose whole place stays when the file cannot be opened
// (LOCATION_SOURCE_MISSING, after its line); else 0. Never locked.
int get_keydev_and_offset_from_fwenv(const keyring_location *primary, keyring_location *fallback);

// Releases the device path and the held lock; the record is empty again.
void free_keydev(keyring_location *location);

// 1 when writing to `device` would overwrite the keyring area at `location`:
// the keyring device itself, its raw or block twin (/dev/mtdN and
// /dev/mtdblockN) or the whole disk holding the partition (/dev/mmcblkN for
// /dev/mmcblkNpM), by name or as the same node or file; else 0.
[[nodiscard]] int holds_keyring(const keyring_location *location, const char *device);
