// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

#include "support/board.h"

constexpr size_t NAND_ERASE_SIZE = 128 * 1024;
constexpr size_t NAND_PAGE_SIZE = 2048;
constexpr size_t NAND_PARTITION_SIZE = 8 * NAND_ERASE_SIZE;

// The fuse words, key blob device and random device every board has.
void add_board_identity(const board &b, const std::string &secret = "board-a");

// eMMC board: root on /dev/mmcblk0p2, fdisk lists `listing` (the real BusyBox
// GPT listing by default), the keyring partition image of 1 MiB of zeros.
void make_emmc_board(const board &b, const std::string &listing = "",
                     const std::string &safe_partition = "/dev/mmcblk0p4");

// NAND board: root on UBI, /proc/mtd in the kernel's format with "safe" on
// mtd2 (1 MiB, 128 KiB blocks, 2 KiB pages, erased), `geometry_extra` added
// to its geometry file (e.g. "bad 0\n").
void make_nand_board(const board &b, const std::string &geometry_extra = "");

// A block device as the kernel publishes it in /sys/class/block: a link to
// its device directory, with a uevent file in the kernel's format (PARTNAME=
// only when `partname` is given, as for a GPT partition).
void sysfs_partition(const board &b, const std::string &disk, int number, const char *partname);
