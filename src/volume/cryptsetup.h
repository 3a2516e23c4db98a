// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The LUKS operations, run through the external cryptsetup program. The key
// reaches it only through a pipe on its standard input.

// 0: "cryptsetup isLuks" says the device holds a LUKS header; 1: it says not,
// and the device does not start with the LUKS magic; -1: anything else (not
// run, killed, another status, the magic there, or the device unreadable).
[[nodiscard]] int cryptsetup_isLuks(const char *device);
// Formats with the key of the `safe` partition; cryptsetup_format_prepare
// has refused the keyring's own storage before.
[[nodiscard]] int cryptsetup_format(const char *device);
// Formats with `key` (32 bytes) itself, which nothing has stored yet.
[[nodiscard]] int cryptsetup_format_with_key(const char *device, const uint8_t *key);
// Opens after waiting (30 s at most) for a run that rewrites the keyring.
[[nodiscard]] int cryptsetup_open(const char *device, const char *name);

// Whether `key` (32 bytes) opens a keyslot of the LUKS volume on `device`,
// tried with "cryptsetup --test-passphrase", which maps nothing; a LUKS2
// token that would unlock the volume does not count. 0: it does; 1:
// cryptsetup refuses it (exit status 2); -1: anything else, a key not
// written whole included. Prints nothing of its own.
[[nodiscard]] int cryptsetup_test_key(const char *device, const uint8_t *key);

// What the format and open commands refuse of their arguments (unsafe for the
// shell, or a command line too long), refused with their own message before
// anything runs: 0 when the command would run.
[[nodiscard]] int cryptsetup_format_check(const char *device);
[[nodiscard]] int cryptsetup_open_check(const char *device, const char *name);

// What the format step refuses once the keyring is located, before any key
// is made or recovered: the keyring's own storage as the device to format,
// or no keyring found. With `lock`, it also takes the keyring lock for the
// rest of the run. 0 when the format may go on.
[[nodiscard]] int cryptsetup_format_prepare(const char *device, bool lock);
