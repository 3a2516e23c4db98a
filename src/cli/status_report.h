// SPDX-License-Identifier: MIT
#pragma once

// The report of --status: KEY=VALUE lines, one fact a line, in the order of
// this table, which is part of the program's interface: keys are added,
// never renamed or moved. A key without a value is left out.
enum status_key {
  STATUS_BOARD,           // nand | emmc | unknown
  STATUS_DISK,            // the eMMC disk searched; empty on NAND or when unknown
  STATUS_KEYRING,         // the keyring device; empty when none was found
  STATUS_KEYRING_OFFSET,  // the byte offset where the blob is read
  STATUS_PRIMARY,         // ok | refused | unreadable | unknown
  STATUS_FALLBACK,        // ok | refused | unreadable | unknown | none
  STATUS_VOLUME,          // with a device: luks2 | luks1 | none | missing | unknown
  STATUS_KEY_OPENS,       // yes | no | untested
  STATUS_KEYSLOT,         // the keyslot the key opens
  STATUS_KDF,             // that keyslot's key derivation
  STATUS_TOKENS,          // how many LUKS2 tokens the header has
  STATUS_MAPPED,          // the LUKS mapping of the device, or no
  STATUS_MAPPED_AS_NAME,  // with a mapped name: yes | no
  STATUS_REASON,          // whenever the exit status is not 0
  STATUS_KEY_COUNT
};

struct status_report {
  char *values[STATUS_KEY_COUNT] = {};  // owned; null: the line is left out
};

// Sets the value of `key` (a later call replaces it): a copy of `value`, or
// a number in decimal.
void set_status(status_report *report, status_key key, const char *value);
void set_status_number(status_report *report, status_key key, unsigned long long number);

// Writes the lines to descriptor `fd`: a value of only letters, digits and
// "/._:=@,+-" stands bare, any other in single quotes for the shell, each
// ' inside as '\'' (so that eval and ". file" read it). 0, or -1 after a
// perror line when the output failed.
[[nodiscard]] int write_status_report(const status_report *report, int fd);

// Releases the values.
void release_status_report(status_report *report);
