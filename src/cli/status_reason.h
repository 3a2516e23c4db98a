// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "keyblob/key_blob_device.h"
#include "keyblob/key_recovery.h"
#include "keyring/keyring_location.h"
#include "volume/cryptsetup.h"
#include "volume/dm_mapping.h"
#include "volume/luks_dump.h"

// What --status found, looked at in the order an open looks, and what the
// report and its exit status are made of. Filled by the probes of
// action_status.cpp; turned into the report by report_status.

enum fallback_state { FALLBACK_NONE, FALLBACK_OK, FALLBACK_REFUSED, FALLBACK_UNREADABLE, FALLBACK_UNKNOWN };

struct status_facts {
  const char *device = nullptr;  // the arguments, or null
  const char *name = nullptr;

  int board = -1;           // check_cmdline_for_nand's result
  int located = -1;         // init_keydev_and_offset's result
  bool lock_refused = false;
  blob_outcome primary = BLOB_NOT_ASKED;
  // Why the key blob device was not asked, when it was not: a fuse word
  // file it could not read, or the device itself; else out of memory.
  const char *unreadable_fuse = nullptr;
  bool no_key_blob_device = false;
  fallback_state fallback = FALLBACK_NONE;
  keyring_location fallback_place;  // owned

  // The key an open would use: the primary's, or the fallback's after a
  // refusal of the primary.
  uint8_t key[KEY_LEN] = {};
  uint8_t fallback_key[KEY_LEN] = {};
  bool have_key = false;
  bool key_from_fallback = false;

  const char *refused_argument = nullptr;  // the argument the open command would refuse
  bool device_exists = false;
  luks_state luks = LUKS_UNKNOWN;
  bool dump_read = false;
  luks_header_dump dump;
  bool key_tested = false;
  key_test key_result = KEY_UNTESTED;
  int keyslot = -1;
  luks_mapping mapping;

  int disk_result = 0;  // get_mmc_disk's, on an eMMC board
  char disk[MMC_DISK_LEN] = {};
};

// The report's lines and REASON from the facts; the exit status: 0 when the
// stored key opens the device (without one, when the primary blob unwraps),
// 2 when only the copy behind the U-Boot environment would, else -1.
struct status_report;
[[nodiscard]] int report_status(const status_facts *facts, const keyring_location *keyring, status_report *report);
