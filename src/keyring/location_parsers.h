// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Line parsers of the keyring location sources, free of any file access so
// that they can be fed text directly.

constexpr int LOCATION_LINE_LEN = 128;

// Kernel command line (its first line, whole), its words split and unquoted
// as the kernel does it: 1 with `value` and `value_len` set to the value of
// the last word KEY=VALUE (a stretch of `line`, its quotes left out), 0 when
// there is none. Words after a lone "--" are init's and do not count.
[[nodiscard]] int cmdline_value(const char *line, const char *key, const char **value, size_t *value_len);

// 1 when the value of the root= word that counts begins as a UBI or MTD
// device (ubi, mtd, /dev/ubi, /dev/mtd), 0 when it does not, -1 without one.
int parse_cmdline_root(const char *line);

// One line of /proc/mtd: 1 when it is the "safe" partition, with `device` set
// to the allocated device name without its colon (caller frees); else 0.
int parse_mtd_line(const char *line, char **device);

// The layout of the fdisk rows, as the last header line gave it.
enum fdisk_layout { FDISK_NO_HEADER, FDISK_NAME_ONLY, FDISK_TYPE_CODE };

// One line of the eMMC fdisk listing, `layout` starting at FDISK_NO_HEADER for
// the first. A header line sets `layout`; a row counts only after a header and
// is read in its layout (a BusyBox GPT row, with or without the type column):
// 1 when its name is exactly "safe" and the line ends there, with `partition`
// set to its number; else 0.
int parse_fdisk_line(const char *line, fdisk_layout *layout, int *partition);

// One line of fw_env.config: 1 when accepted, with `device` allocated (caller
// frees) and the device offset and environment size set; else 0. A number
// field that starts with '-', or an offset and size whose sum does not fit in
// 64 bits, leaves the line unaccepted.
int parse_fwenv_line(const char *line, char **device, uint64_t *device_offset, uint64_t *env_size);
