// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "volume/cryptsetup.h"

// Keyslots added and removed, each authorised by a key that opens another
// keyslot of the volume. Both keys (VOLUME_KEY_LEN bytes) reach cryptsetup
// only through pipes: the authorising key on its standard input, the new key
// on a pipe it inherits and reads as /proc/self/fd/N, each with its size
// given, so that cryptsetup never waits for an end of input:
//   >&2 cryptsetup luksAddKey [--pbkdf pbkdf2 --pbkdf-force-iterations 1000]
//     --key-slot N -d - --keyfile-size 32 --new-keyfile-size 32 DEVICE /proc/self/fd/K
//   (its standard output on standard error)
//   cryptsetup luksKillSlot -d - --keyfile-size 32 DEVICE N
// (luksKillSlot never with -q, which removes a keyslot without any key; it
// refuses a key that opens only the keyslot it removes). Each returns 0, or
// -1 (after a line of the command's own where it did not run or did not get
// its keys whole; cryptsetup speaks for itself).

[[nodiscard]] int cryptsetup_add_keyslot(const char *device, const uint8_t *key, const uint8_t *new_key, int keyslot,
                                         luks_kdf kdf);
[[nodiscard]] int cryptsetup_kill_keyslot(const char *device, const uint8_t *key, int keyslot);
