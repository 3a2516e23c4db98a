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
// The key test's result from the exit status of cryptsetup --test-passphrase
// (-1: it did not run to its end).
[[nodiscard]] key_test key_test_of_exit(int exit_status);

// The key derivation of a keyslot the program makes. The program's keys are
// 32 random bytes: stretching them adds no strength, only seconds and memory
// at every unlock. An open reads whatever the header says, so volumes of
// either open alike.
enum luks_kdf {
  KDF_DEFAULT,  // cryptsetup's own: argon2id on LUKS2, calibrated on the board
  KDF_MINIMAL,  // PBKDF2-SHA256 at 1000 iterations, the least the standards allow
};
// The build's choice, LOCKWARDEN_MINIMAL_KDF, where the command line makes none.
constexpr luks_kdf BUILD_KDF = LOCKWARDEN_MINIMAL_KDF ? KDF_MINIMAL : KDF_DEFAULT;

// Formats `device` with `key` and a keyslot of `kdf`, or opens it under
// `name`: 0, or -1 (after a line of the operation's own where the command
// did not run or did not get the whole key; cryptsetup speaks for itself).
[[nodiscard]] int cryptsetup_format(const char *device, const uint8_t *key, luks_kdf kdf);
[[nodiscard]] int cryptsetup_open(const char *device, const char *name, const uint8_t *key);

// What the format and open commands refuse of their arguments (unsafe for the
// shell, or a command line too long), refused with their own line before
// anything runs: 0 when the command would run.
[[nodiscard]] int cryptsetup_format_check(const char *device, luks_kdf kdf);
[[nodiscard]] int cryptsetup_open_check(const char *device, const char *name);
