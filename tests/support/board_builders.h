// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

#include "support/board.h"

constexpr size_t NAND_ERASE_SIZE = 128 * 1024;
constexpr size_t NAND_PAGE_SIZE = 2048;
constexpr size_t NAND_PARTITION_SIZE = 8 * NAND_ERASE_SIZE;

// The build's eMMC disk and the options of its format command, written out
// here rather than taken from the program.
inline const std::string BUILD_MMC_DISK = LOCKWARDEN_MMC_DISK;
#if LOCKWARDEN_MINIMAL_KDF
inline const std::string FORMAT_OPTIONS = "-q -h sha256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000";
inline const std::string OTHER_BUILD_FORMAT_OPTIONS = "-q -h sha256";
#else
inline const std::string FORMAT_OPTIONS = "-q -h sha256";
inline const std::string OTHER_BUILD_FORMAT_OPTIONS = "-q -h sha256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000";
#endif
// Those of each key derivation, and an eMMC disk other than the build's.
inline const std::string MINIMAL_KDF_OPTIONS = LOCKWARDEN_MINIMAL_KDF ? FORMAT_OPTIONS : OTHER_BUILD_FORMAT_OPTIONS;
inline const std::string DEFAULT_KDF_OPTIONS = LOCKWARDEN_MINIMAL_KDF ? OTHER_BUILD_FORMAT_OPTIONS : FORMAT_OPTIONS;
inline const std::string NAMED_MMC_DISK = BUILD_MMC_DISK == "/dev/mmcblk2" ? "/dev/mmcblk1" : "/dev/mmcblk2";

// The fuse words, key blob device and random device every board has.
void add_board_identity(const board &b, const std::string &secret = "board-a");

// eMMC board: root on partition 2 of the build's disk, fdisk lists `listing`
// (the real BusyBox GPT listing by default), the keyring partition image of
// 1 MiB of zeros (partition 4 of the build's disk by default).
void make_emmc_board(const board &b, const std::string &listing = "", const std::string &safe_partition = "");

// NAND board: root on UBI, /proc/mtd in the kernel's format with "safe" on
// mtd2 (1 MiB, 128 KiB blocks, 2 KiB pages, erased), `geometry_extra` added
// to its geometry file (e.g. "bad 0\n").
void make_nand_board(const board &b, const std::string &geometry_extra = "");

// A block device as the kernel publishes it in /sys/class/block: a link to
// its device directory, with a uevent file in the kernel's format (PARTNAME=
// only when `partname` is given, as for a GPT partition).
void sysfs_partition(const board &b, const std::string &disk, int number, const char *partname);
