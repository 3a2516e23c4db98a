// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "volume/cryptsetup.h"

// The token-proof key test of cryptsetup_test_key that also says which
// keyslot the key opens: "cryptsetup -v --test-passphrase --token-type
// lockwarden-no-token ... open --type luks DEVICE", which maps nothing, the
// key (VOLUME_KEY_LEN bytes) on a pipe of its own (volume/key_pipe.h) so that
// the child's report can be read: "Key slot N unlocked.", in the C locale, as
// the message is translated otherwise.
//
// `keyslot` >= 0 tries that keyslot alone (--key-slot N), -1 any of them.
// KEY_OPENS, with `*opened` the keyslot cryptsetup names (-1 when it names
// none); KEY_REFUSED when cryptsetup exits with 2; KEY_UNTESTED for anything
// else. A LUKS2 token that would unlock the volume does not count. Prints
// nothing of its own; cryptsetup's standard error is the program's.
[[nodiscard]] key_test cryptsetup_test_keyslot(const char *device, const uint8_t *key, int keyslot, int *opened);
