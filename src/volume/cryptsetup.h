// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// The LUKS operations, run through the external cryptsetup program with a
// key the caller gives, which reaches cryptsetup only through a pipe on its
// standard input. Nothing here recovers a key or touches the keyring.

// The bytes of every key given: raw, without a line end.
constexpr size_t VOLUME_KEY_LEN = 32;

enum luks_state {
  LUKS_PRESENT,  // "cryptsetup isLuks" says the device holds a LUKS header
  LUKS_ABSENT,   // it says not, and the device does not start with the LUKS magic
  LUKS_UNKNOWN,  // anything else: not run, killed, another status, the magic there, the device unreadable
};
[[nodiscard]] luks_state cryptsetup_isLuks(const char *device);

// Whether `key` opens a keyslot of the LUKS volume on `device`, tried with
// "cryptsetup --test-passphrase", which maps nothing; a LUKS2 token that
// would unlock the volume does not count. KEY_REFUSED: cryptsetup exits with
// 2; KEY_UNTESTED: anything else, a key not written whole included. Prints
// nothing of its own.
enum key_test { KEY_OPENS, KEY_REFUSED, KEY_UNTESTED };
[[nodiscard]] key_test cryptsetup_test_key(const char *device, const uint8_t *key);

// Formats `device` with `key`, or opens it under `name`: 0, or -1 (after a
// line of the operation's own where the command did not run or did not get
// the whole key; cryptsetup speaks for itself).
[[nodiscard]] int cryptsetup_format(const char *device, const uint8_t *key);
[[nodiscard]] int cryptsetup_open(const char *device, const char *name, const uint8_t *key);

// What the format and open commands refuse of their arguments (unsafe for the
// shell, or a command line too long), refused with their own line before
// anything runs: 0 when the command would run.
[[nodiscard]] int cryptsetup_format_check(const char *device);
[[nodiscard]] int cryptsetup_open_check(const char *device, const char *name);
